#include "platform/test_support.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

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

}  // namespace zt4
