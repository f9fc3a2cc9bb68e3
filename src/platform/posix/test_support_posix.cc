#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

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

bool RunThisProgram(const char* const* arguments, const char* outputFile, unsigned long* code) {
  *code = 0;
  size_t count = 0;
  while (arguments[count]) ++count;
  const char** argv = static_cast<const char**>(malloc((count + 2) * sizeof(char*)));
  if (!argv) {
    *code = ENOMEM;
    return false;
  }
  argv[0] = "/proc/self/exe";
  for (size_t i = 0; i <= count; ++i) argv[i + 1] = arguments[i];
  int output = open(outputFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (output < 0) {
    *code = static_cast<unsigned long>(errno);
    free(argv);
    return false;
  }
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    dup2(output, 1);
    dup2(output, 2);
    execv("/proc/self/exe", const_cast<char* const*>(argv));
    _exit(127);
  }
  int forkError = errno;
  close(output);
  free(argv);
  if (child < 0) {
    *code = static_cast<unsigned long>(forkError);
    return false;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      *code = static_cast<unsigned long>(errno);
      return false;
    }
  }
  if (!WIFEXITED(status)) {
    *code = static_cast<unsigned long>(128 + WTERMSIG(status));
    return false;
  }
  *code = static_cast<unsigned long>(WEXITSTATUS(status));
  return true;
}

}  // namespace zt4
