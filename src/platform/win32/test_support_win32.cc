#include "platform/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include <windows.h>

namespace zt4 {
namespace {

// One string of the version resource's StringFileInfo block for `translation`
// ("041104b0": language, then code page, in hex).
bool VersionString(void* data, const wchar_t* translation, const wchar_t* name, char* out,
                   int capacity) {
  wchar_t query[96];
  std::swprintf(query, 96, L"\\StringFileInfo\\%ls\\%ls", translation, name);
  wchar_t* text = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(data, query, reinterpret_cast<void**>(&text), &length) || !text) {
    return false;
  }
  out[0] = 0;
  // The conversion fails when the text does not fit; what fitted is kept, ended.
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out, capacity, nullptr, nullptr);
  if (n == 0) out[capacity - 1] = 0;
  return true;
}

void Numbers(DWORD mostSignificant, DWORD leastSignificant, unsigned out[4]) {
  out[0] = HIWORD(mostSignificant);
  out[1] = LOWORD(mostSignificant);
  out[2] = HIWORD(leastSignificant);
  out[3] = LOWORD(leastSignificant);
}

bool ReadVersionBlock(void* data, ProgramVersion* out) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(data, L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != 0xFEEF04BD) {
    return false;
  }
  Numbers(fixed->dwFileVersionMS, fixed->dwFileVersionLS, out->fileNumbers);
  Numbers(fixed->dwProductVersionMS, fixed->dwProductVersionLS, out->productNumbers);
  WORD* translation = nullptr;  // language, code page
  if (!::VerQueryValueW(data, L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &length) ||
      length < 2 * sizeof(WORD)) {
    return false;
  }
  wchar_t block[16];
  std::swprintf(block, 16, L"%04x%04x", translation[0], translation[1]);
  return VersionString(data, block, L"FileVersion", out->fileVersion, sizeof out->fileVersion) &&
         VersionString(data, block, L"ProductVersion", out->productVersion,
                       sizeof out->productVersion) &&
         VersionString(data, block, L"ProductName", out->productName, sizeof out->productName) &&
         VersionString(data, block, L"FileDescription", out->fileDescription,
                       sizeof out->fileDescription) &&
         VersionString(data, block, L"OriginalFilename", out->originalFilename,
                       sizeof out->originalFilename);
}

}  // namespace

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

bool ReadProgramVersion(const char* path, ProgramVersion* out) {
  wchar_t widePath[1024];
  if (::MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, 1024) == 0) return false;
  DWORD unused = 0;
  DWORD size = ::GetFileVersionInfoSizeW(widePath, &unused);
  if (size == 0) return false;
  void* data = std::malloc(size);
  if (!data) return false;
  bool read = ::GetFileVersionInfoW(widePath, 0, size, data) && ReadVersionBlock(data, out);
  std::free(data);
  return read;
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
