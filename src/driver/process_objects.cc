#include "driver/process_objects.h"

#include <cstdlib>

#include "archive/mount.h"
#include "base/process.h"

namespace zt4 {
namespace {

void EndProcessObjects() {
  EndArchiveRegistries();
  EndFoundation();
}

}  // namespace

void StartProcessObjects() {
  StartFoundation();
  StartArchiveRegistries();
  std::atexit(EndProcessObjects);
}

}  // namespace zt4
