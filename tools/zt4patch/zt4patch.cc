// zt4patch: applies the patch.zt4 beside the program to the folder the user chooses.
#include "driver/process_objects.h"
#include "driver/update_driver.h"
#include "platform/platform.h"

int zt4::ProgramMain() {
  StartProcessObjects();
  return UpdateDriver();
}
