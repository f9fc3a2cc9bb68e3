#include "driver/fatal_stop.h"

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace zt4 {

void FatalStop(const char* text) {
  Os().MessageBox(text, nullptr, kBoxOk);
  std::fflush(stdout);
  std::exit(0);
}

}  // namespace zt4
