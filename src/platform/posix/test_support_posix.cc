#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include "platform/test_support.h"

namespace zt4 {

int RunShellCommand(const char* commandLine) {
  fflush(nullptr);
  int status = system(commandLine);
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool BuildPathToNative(const char* path, char* out, int capacity) {
  size_t n = strlen(path);
  if (capacity <= 0 || n >= static_cast<size_t>(capacity)) return false;
  memcpy(out, path, n + 1);
  return true;
}

bool ReadProgramVersion(const char*, ProgramVersion*) {
  // An ELF program has no version resource.
  return false;
}

}  // namespace zt4
