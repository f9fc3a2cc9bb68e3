// The entry point of the Windows GUI program: no console until the program opens one,
// and none of the arguments the system passes is read.
#include <windows.h>

#include "platform/platform.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  return zt4::ProgramMain();
}
