// The one assertion of the fuzz targets: always on, whatever the build type, and ends
// the run so that the fuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace zt4::fuzz {

inline void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

}  // namespace zt4::fuzz
