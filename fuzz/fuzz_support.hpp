#pragma once
// What the fuzz targets share: the built-in models and a check that turns a broken property
// into a crash the fuzzer records.
#include <cstdio>
#include <cstdlib>

#include "codec/model.hpp"

namespace qelvo::fuzz {

inline const codec::ModelRegistry& builtin_registry() {
  static const codec::ModelRegistry registry({codec::ModelSet::builtin().model_2d, codec::ModelSet::builtin().model_3d});
  return registry;
}

// Reports and aborts when a property every input must satisfy does not hold.
inline void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

}  // namespace qelvo::fuzz
