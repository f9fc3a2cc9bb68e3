#include "platform/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zt4 {

int RunShellCommand(const char* commandLine) {
  // cmd /c takes off the first and the last quote of a line that starts with one: a pair
  // of its own keeps the command's quotes intact.
  size_t n = std::strlen(commandLine);
  char* wrapped = static_cast<char*>(std::malloc(n + 3));
  if (!wrapped) return -1;
  wrapped[0] = '"';
  std::memcpy(wrapped + 1, commandLine, n);
  wrapped[n + 1] = '"';
  wrapped[n + 2] = 0;
  std::fflush(nullptr);
  int status = std::system(wrapped);
  std::free(wrapped);
  return status;
}

bool BuildPathToNative(const char* path, char* out, int capacity) {
  // A build on a POSIX host names its files from '/'; Wine shows that root as drive Z:.
  const char* prefix = path[0] == '/' ? "Z:" : "";
  size_t prefixLength = std::strlen(prefix);
  size_t n = std::strlen(path);
  if (capacity <= 0 || prefixLength + n >= static_cast<size_t>(capacity)) return false;
  std::memcpy(out, prefix, prefixLength);
  for (size_t i = 0; i <= n; ++i) out[prefixLength + i] = path[i] == '/' ? '\\' : path[i];
  return true;
}

}  // namespace zt4
