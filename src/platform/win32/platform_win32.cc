// Win32 implementation of the platform: the ANSI calls take the CP932 texts as they are.
// The interface comes first: <windows.h> turns MessageBox and DeleteFile into macros.
#include "platform/platform.h"

#include <windows.h>
#include <shlobj.h>
#include <shellapi.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#undef MessageBox
#undef DeleteFile

namespace zt4 {

// The folder dialog and its callback are the driver's own; they live here because they
// speak to the shell directly.
bool ChooseFolder(HWND owner, char* path, const char* title);
int CALLBACK ChooseFolderCallback(HWND window, UINT message, LPARAM param, LPARAM data);

namespace {

HANDLE ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// Virus scanners and indexers open files for a moment as they appear or change. A file
// held that way is retried for about a second before its open or move fails.
constexpr int kLockedTries = 12;
constexpr DWORD kLockedPauseMs = 90;

bool IsLockedError(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// The shell's move reports a held file with the Win32 codes, with access denied, or with
// its own code for a source it could not take (DE_ACCESSDENIEDSRC).
bool IsLockedMoveResult(int result) {
  return IsLockedError(static_cast<DWORD>(result)) || result == ERROR_ACCESS_DENIED ||
         result == 0x78;
}

// SHCreateDirectory is exported by shell32 under ordinal 165 only on older systems' headers.
using ShCreateDirectoryFn = int(WINAPI*)(HWND, const wchar_t*);

class Win32Platform final : public Platform {
 public:
  FileHandle OpenFile(const char* path, int mode) override {
    DWORD access;
    DWORD disposition;
    switch (mode) {
      case kOpenRead:
        access = GENERIC_READ;
        disposition = OPEN_EXISTING;
        break;
      case kOpenCreate:
        ::DeleteFileA(path);  // its result is ignored: the create decides
        access = GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        break;
      case kOpenAppend:
        access = GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        break;
      default:
        return kNoFile;
    }
    for (int attempt = 1;; ++attempt) {
      HANDLE handle = ::CreateFileA(path, access, FILE_SHARE_READ, nullptr, disposition,
                                    FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle != INVALID_HANDLE_VALUE) return reinterpret_cast<FileHandle>(handle);
      DWORD error = ::GetLastError();
      if (attempt == kLockedTries || !IsLockedError(error)) return Failed(error, kNoFile);
      ::Sleep(kLockedPauseMs);
      if (mode == kOpenCreate) ::DeleteFileA(path);  // it may have been held too
    }
  }

  void CloseFile(FileHandle file) override {
    if (file != kNoFile) ::CloseHandle(ToHandle(file));
  }

  int32_t ReadFile(FileHandle file, void* buffer, int32_t count) override {
    if (count <= 0) return 0;
    DWORD read = 0;
    if (!::ReadFile(ToHandle(file), buffer, static_cast<DWORD>(count), &read, nullptr)) {
      return Failed(::GetLastError(), 0);
    }
    return static_cast<int32_t>(read);
  }

  bool WriteFile(FileHandle file, const void* data, int32_t count) override {
    if (count < 0) return false;
    DWORD written = 0;
    if (!::WriteFile(ToHandle(file), data, static_cast<DWORD>(count), &written, nullptr)) {
      return Failed(::GetLastError(), false);
    }
    return written == static_cast<DWORD>(count) || Failed(ERROR_DISK_FULL, false);
  }

  int64_t SeekFile(FileHandle file, int64_t offset, int origin) override {
    DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : FILE_END;
    LONG high = static_cast<LONG>(offset >> 32);
    DWORD low = ::SetFilePointer(ToHandle(file), static_cast<LONG>(offset & 0xFFFFFFFF), &high,
                                 method);
    if (low == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR) return -1;
    return (static_cast<int64_t>(high) << 32) | low;
  }

  int64_t FileSize(FileHandle file) override {
    DWORD high = 0;
    DWORD low = ::GetFileSize(ToHandle(file), &high);
    if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) return -1;
    return (static_cast<int64_t>(high) << 32) | low;
  }

  bool FlushFile(FileHandle file) override {
    return ::FlushFileBuffers(ToHandle(file)) != 0 || Failed(::GetLastError(), false);
  }

  // NTFS keeps the folders' own changes in its journal, in order.
  bool FlushFolder(const char* /*path*/) override { return true; }

  bool DeleteFile(const char* path) override {
    return ::DeleteFileA(path) != 0 || Failed(::GetLastError(), false);
  }

  bool ForEachFolderItem(const char* folder, FolderItemSink sink, void* user) override {
    char pattern[kMaxPath + 4];
    if (std::snprintf(pattern, sizeof pattern, "%s/*", folder) >= static_cast<int>(kMaxPath)) {
      return Failed(ERROR_FILENAME_EXCED_RANGE, false);
    }
    WIN32_FIND_DATAA item;
    HANDLE find = ::FindFirstFileA(pattern, &item);
    if (find == INVALID_HANDLE_VALUE) return Failed(::GetLastError(), false);
    do {
      DWORD attributes = item.dwFileAttributes;
      sink(item.cFileName,
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ItemKind::kLink
           : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? ItemKind::kFolder
                                                           : ItemKind::kFile,
           user);
    } while (::FindNextFileA(find, &item));
    ::FindClose(find);
    return true;
  }

  FolderResult CreateFolder(const char* path) override {
    if (::CreateDirectoryA(path, nullptr)) return FolderResult::kCreated;
    DWORD error = ::GetLastError();
    return error == ERROR_ALREADY_EXISTS ? FolderResult::kAlreadyExists
                                         : Failed(error, FolderResult::kFailed);
  }

  FolderResult CreateFolderTree(const char* path) override {
    // The shell's call takes a wide path; the multibyte text is read as Shift-JIS.
    std::setlocale(LC_ALL, "Japanese");
    size_t bytes = std::strlen(path);
    if (bytes > kMaxPath) return FolderResult::kFailed;
    wchar_t wide[kMaxPath + 2];
    size_t converted = std::mbstowcs(wide, path, bytes);
    if (converted == static_cast<size_t>(-1)) return FolderResult::kFailed;
    wide[converted] = 0;
    // The shell creates missing levels only between '\' separators.
    for (size_t i = 0; i < converted; ++i) {
      if (wide[i] == L'/') wide[i] = L'\\';
    }
    HMODULE shell = ::GetModuleHandleA("shell32.dll");
    if (!shell) shell = ::LoadLibraryA("shell32.dll");
    if (!shell) return FolderResult::kFailed;
    auto create = reinterpret_cast<ShCreateDirectoryFn>(
        reinterpret_cast<void*>(::GetProcAddress(shell, MAKEINTRESOURCEA(165))));
    if (!create) return FolderResult::kFailed;
    int result = create(nullptr, wide);
    if (result == 0) return FolderResult::kCreated;
    if (result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS) {
      return FolderResult::kAlreadyExists;
    }
    return Failed(static_cast<DWORD>(result), FolderResult::kFailed);
  }

  bool MoveItem(const char* from, const char* to) override {
    // The shell takes lists of paths, each ended by a zero, the list by a second zero.
    char fromList[kMaxPath + 2] = {};
    char toList[kMaxPath + 2] = {};
    size_t fromLength = std::strlen(from);
    size_t toLength = std::strlen(to);
    if (fromLength >= kMaxPath || toLength >= kMaxPath) return false;
    // The shell would move an item onto an existing folder into it: never replace or nest.
    if (::GetFileAttributesA(to) != INVALID_FILE_ATTRIBUTES) {
      return Failed(ERROR_ALREADY_EXISTS, false);
    }
    std::memcpy(fromList, from, fromLength);
    std::memcpy(toList, to, toLength);
    SHFILEOPSTRUCTA operation = {};
    operation.hwnd = nullptr;
    operation.wFunc = FO_MOVE;
    operation.pFrom = fromList;
    operation.pTo = toList;
    operation.fFlags = 0x214;  // FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR
    for (int attempt = 1;; ++attempt) {
      int result = ::SHFileOperationA(&operation);
      // Success counts only when the item really went: some shells report none for a
      // held file that they left where it was.
      bool sourceLeft = ::GetFileAttributesA(from) != INVALID_FILE_ATTRIBUTES;
      if (result == 0 && !sourceLeft) return true;
      DWORD error = result != 0 ? static_cast<DWORD>(result) : ERROR_SHARING_VIOLATION;
      if (attempt == kLockedTries || !sourceLeft) return Failed(error, false);
      if (result != 0 && !IsLockedMoveResult(result)) return Failed(error, false);
      ::Sleep(kLockedPauseMs);
    }
  }

  bool RemoveFolder(const char* path) override {
    return ::RemoveDirectoryA(path) != 0 || Failed(::GetLastError(), false);
  }

  int64_t FreeSpace(const char* path) override {
    ULARGE_INTEGER available;
    if (!::GetDiskFreeSpaceExA(path, &available, nullptr, nullptr)) return -1;
    return static_cast<int64_t>(available.QuadPart);
  }

  bool ExecutablePath(char* buffer, int capacity) override {
    DWORD n = ::GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(capacity));
    return n != 0 && n < static_cast<DWORD>(capacity);
  }

  bool CurrentFolder(char* buffer, int capacity) override {
    DWORD n = ::GetCurrentDirectoryA(static_cast<DWORD>(capacity), buffer);
    return n != 0 && n < static_cast<DWORD>(capacity);
  }

  void OpenConsole() override {
    ::AllocConsole();
    // Each piece reaches the console whole (ConsoleWrite flushes after every one): a
    // runtime that keeps a console stream unbuffered hands it over byte by byte, and a
    // console that converts every write on its own then splits each double-byte character.
    if (std::freopen("CONOUT$", "w", stdout)) std::setvbuf(stdout, nullptr, _IOFBF, 4096);
  }

  void ConsoleWrite(const char* text) override {
    std::fputs(text, stdout);
    std::fflush(stdout);
  }

  void DebugOutput(const char* text) override { ::OutputDebugStringA(text); }

  int MessageBox(const char* text, const char* caption, unsigned style) override {
    return ::MessageBoxA(nullptr, text, caption, style);
  }

  bool ChooseFolder(const char* title, char* path) override {
    return zt4::ChooseFolder(nullptr, path, title);
  }

 private:
  // The system's words for an error code.
  template <typename Result>
  Result Failed(DWORD error, Result result) {
    char reason[256];
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, error, 0, reason, sizeof reason, nullptr);
    while (n > 0 && (reason[n - 1] == '\n' || reason[n - 1] == '\r' || reason[n - 1] == ' ')) --n;
    if (n == 0) {
      std::snprintf(reason, sizeof reason, "error %lu", static_cast<unsigned long>(error));
    } else {
      reason[n] = 0;
    }
    return FailWith(reason, result);
  }
};

Win32Platform gNative;

CRITICAL_SECTION gPoolLock;
bool gPoolLockCreated = false;

}  // namespace

bool ChooseFolder(HWND owner, char* path, const char* title) {
  IMalloc* allocator = nullptr;
  if (FAILED(::SHGetMalloc(&allocator))) return false;
  BROWSEINFOA info = {};
  info.hwndOwner = owner;
  info.pidlRoot = nullptr;
  info.pszDisplayName = nullptr;
  info.lpszTitle = title;
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  info.lpfn = ChooseFolderCallback;
  info.lParam = 0;
  info.iImage = 0;
  LPITEMIDLIST item = ::SHBrowseForFolderA(&info);
  if (!item) {
    allocator->Release();
    return false;
  }
  bool chosen = ::SHGetPathFromIDListA(item, path) != 0;
  allocator->Free(item);
  allocator->Release();
  return chosen;
}

int CALLBACK ChooseFolderCallback(HWND window, UINT message, LPARAM /*param*/, LPARAM /*data*/) {
  if (message == BFFM_INITIALIZED) {
    // Preselect the current folder; a folder that cannot be read whole is not sent.
    char current[kMaxPath];
    DWORD n = ::GetCurrentDirectoryA(sizeof current, current);
    if (n != 0 && n < sizeof current) {
      ::SendMessageA(window, BFFM_SETSELECTIONA, 1, reinterpret_cast<LPARAM>(current));
    }
  }
  return 0;
}

Platform& NativePlatform() { return gNative; }

void CreatePoolLock() {
  if (gPoolLockCreated) return;
  ::InitializeCriticalSection(&gPoolLock);
  gPoolLockCreated = true;
}

void DeletePoolLock() {
  if (!gPoolLockCreated) return;
  ::DeleteCriticalSection(&gPoolLock);
  gPoolLockCreated = false;
}

void EnterPoolLock() { ::EnterCriticalSection(&gPoolLock); }
void LeavePoolLock() { ::LeaveCriticalSection(&gPoolLock); }

bool IsNativeAbsolutePath(const char* /*path*/) { return false; }

namespace {
int CopyText(const char* text, char* out, int capacity) {
  size_t n = std::strlen(text);
  if (capacity <= 0 || n >= static_cast<size_t>(capacity)) return -1;
  std::memcpy(out, text, n + 1);
  return static_cast<int>(n);
}
}  // namespace

int NativeToCp932(const char* text, char* out, int capacity) {
  return CopyText(text, out, capacity);
}
int Cp932ToNative(const char* text, char* out, int capacity) {
  return CopyText(text, out, capacity);
}

bool OsIsWindows() { return true; }
bool OsFoldsNameCase() { return true; }

}  // namespace zt4
