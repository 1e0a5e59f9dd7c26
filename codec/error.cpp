#include "codec/error.hpp"

namespace qelvo::codec {

std::string Error::display() const {
  switch (kind) {
    case ErrorKind::NotQelvo: return "not a Qelvo container";
    case ErrorKind::Truncated: return "container is truncated";
    case ErrorKind::Unsupported: return "unsupported: " + text;
    case ErrorKind::Corrupt: return "corrupt container: " + text;
    case ErrorKind::Checksum: return "checksum mismatch in " + text;
    case ErrorKind::UnknownModel: return "model " + text + " is not available";
    case ErrorKind::Model: return "invalid model: " + text;
    case ErrorKind::InvalidVolume: return "invalid volume: " + text;
    case ErrorKind::TooLarge: return "cannot allocate " + std::to_string(count) + " samples";
  }
  return {};
}

}  // namespace qelvo::codec
