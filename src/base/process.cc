#include "base/process.h"

#include "base/pool_string.h"
#include "platform/platform.h"

namespace zt4 {

void StartFoundation() { CreatePoolLock(); }

void EndFoundation() {
  DeletePoolLock();
  Pool1024().FreeAll();
  Pool256().FreeAll();
  Pool64().FreeAll();
}

}  // namespace zt4
