#include "driver/process_objects.h"

#include <cstdlib>

#include "base/process.h"

namespace zt4 {
namespace {

void EndProcessObjects() { EndFoundation(); }

}  // namespace

void StartProcessObjects() {
  StartFoundation();
  std::atexit(EndProcessObjects);
}

}  // namespace zt4
