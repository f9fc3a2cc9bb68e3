#include "platform/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <windows.h>

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

namespace {

// A CP932 text as the wide calls take it; empty when it does not convert.
std::wstring Wide(const char* text) {
  int n = ::MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, text, -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

// One argument as the C runtime's parser of the command line gives it back: quoted, a
// quote escaped, and the backslashes before a quote doubled.
void AppendQuoted(std::wstring* line, const std::wstring& argument) {
  line->push_back(L'"');
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line->append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line->push_back(c);
  }
  line->append(2 * backslashes, L'\\');
  line->push_back(L'"');
}

}  // namespace

bool RunThisProgram(const char* const* arguments, const char* outputFile, unsigned long* code) {
  *code = 0;
  std::wstring self(32768, L'\0');
  DWORD length = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
  if (length == 0 || length >= self.size()) {
    *code = ::GetLastError();
    return false;
  }
  self.resize(length);
  std::wstring line;
  AppendQuoted(&line, self);
  for (const char* const* a = arguments; *a; ++a) {
    line.push_back(L' ');
    AppendQuoted(&line, Wide(*a));
  }
  std::wstring outputPath = Wide(outputFile);
  SECURITY_ATTRIBUTES inherited = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output = ::CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) {
    *code = ::GetLastError();
    return false;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process = {};
  std::fflush(nullptr);
  BOOL started = ::CreateProcessW(self.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &process);
  if (!started) {
    *code = ::GetLastError();
    ::CloseHandle(output);
    return false;
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(output);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  BOOL known = ::GetExitCodeProcess(process.hProcess, &exitCode);
  ::CloseHandle(process.hProcess);
  *code = known ? exitCode : ::GetLastError();
  return known != FALSE;
}

}  // namespace zt4
