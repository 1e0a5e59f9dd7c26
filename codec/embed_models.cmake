# Writes a C++ source holding the two built-in model files as byte arrays.
# Invoked as: cmake -DMODEL_2D=... -DMODEL_3D=... -DOUTPUT=... -P embed_models.cmake
function(byte_array file variable)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  set(${variable} "${bytes}" PARENT_SCOPE)
endfunction()

byte_array("${MODEL_2D}" bytes_2d)
byte_array("${MODEL_3D}" bytes_3d)
file(WRITE "${OUTPUT}.tmp" "// Generated from codec/models/ at build time.
#include \"codec/builtin_models.hpp\"

namespace qelvo::codec {
namespace {
constexpr std::uint8_t kModel2d[] = {
${bytes_2d}};
constexpr std::uint8_t kModel3d[] = {
${bytes_3d}};
}  // namespace

std::span<const std::uint8_t> builtin_model_2d() { return kModel2d; }
std::span<const std::uint8_t> builtin_model_3d() { return kModel3d; }

}  // namespace qelvo::codec
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
