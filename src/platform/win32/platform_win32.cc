// Win32 implementation of the platform. Names and texts cross this edge as CP932 and
// become UTF-16 for the wide calls, whatever the system's ANSI code page: on Japanese
// Windows the effect is that of the ANSI calls, elsewhere the Japanese names and texts
// still arrive whole. A name the system hands over with characters Shift-JIS lacks is
// carried in the edge's reversible form (edge_text.h).
// The interface comes first: <windows.h> turns MessageBox and DeleteFile into macros.
#include "platform/platform.h"
#include "platform/edge_text.h"

#include <windows.h>
#include <shlobj.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#undef MessageBox
#undef DeleteFile
#undef ReplaceFile

namespace zt4 {

// The folder dialog and its callback are the driver's own; they live here because they
// speak to the shell directly.
bool ChooseFolder(HWND owner, char* path, const char* title);
int CALLBACK ChooseFolderCallback(HWND window, UINT message, LPARAM param, LPARAM data);

namespace {

constexpr UINT kShiftJisCodePage = 932;
static_assert(sizeof(wchar_t) == sizeof(char16_t));

// A CP932 text as the wide calls take it; `Text()` is null when it does not convert.
class Wide {
 public:
  explicit Wide(const char* text) {
    length_ = EdgeToUnits(text, reinterpret_cast<char16_t*>(units_), kEdgeUnits);
  }
  const wchar_t* Text() const { return length_ < 0 ? nullptr : units_; }
  wchar_t* Units() { return units_; }
  int Length() const { return length_; }

 private:
  wchar_t units_[kEdgeUnits];
  int length_;
};

// A text of the system as CP932 with the form for what Shift-JIS lacks; -1 when it does
// not fit.
int FromWide(const wchar_t* units, int count, char* out, int capacity) {
  return EdgeFromUnits(reinterpret_cast<const char16_t*>(units), count, out, capacity);
}

HANDLE ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// Virus scanners and indexers open files for a moment as they appear or change. A file
// held that way is retried for about a second before its open fails. A move is tried once.
constexpr int kLockedTries = 12;
constexpr DWORD kLockedPauseMs = 90;

bool IsLockedError(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// SHCreateDirectory is exported by shell32 under ordinal 165 only on older systems' headers.
using ShCreateDirectoryFn = int(WINAPI*)(HWND, const wchar_t*);

class Win32Platform final : public Platform {
 public:
  FileHandle OpenFile(const char* path, int mode) override {
    Wide wide(path);
    if (!wide.Text()) return NoPath(kNoFile);
    DWORD access;
    DWORD disposition;
    switch (mode) {
      case kOpenRead:
        access = GENERIC_READ;
        disposition = OPEN_EXISTING;
        break;
      case kOpenCreate:
        ::DeleteFileW(wide.Text());  // its result is ignored: the create decides
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
      HANDLE handle = ::CreateFileW(wide.Text(), access, FILE_SHARE_READ, nullptr, disposition,
                                    FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle != INVALID_HANDLE_VALUE) return reinterpret_cast<FileHandle>(handle);
      DWORD error = ::GetLastError();
      if (attempt == kLockedTries || !IsLockedError(error)) return Failed(error, kNoFile);
      ::Sleep(kLockedPauseMs);
      if (mode == kOpenCreate) ::DeleteFileW(wide.Text());  // it may have been held too
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
    Wide wide(path);
    if (!wide.Text()) return NoPath(false);
    return ::DeleteFileW(wide.Text()) != 0 || Failed(::GetLastError(), false);
  }

  bool ForEachFolderItem(const char* folder, FolderItemSink sink, void* user) override {
    char pattern[kMaxPath + 4];
    if (std::snprintf(pattern, sizeof pattern, "%s/*", folder) >= static_cast<int>(kMaxPath)) {
      return Failed(ERROR_FILENAME_EXCED_RANGE, false);
    }
    Wide wide(pattern);
    if (!wide.Text()) return NoPath(false);
    WIN32_FIND_DATAW item;
    HANDLE find = ::FindFirstFileW(wide.Text(), &item);
    if (find == INVALID_HANDLE_VALUE) return Failed(::GetLastError(), false);
    do {
      char name[kMaxPath];
      if (FromWide(item.cFileName, static_cast<int>(::wcslen(item.cFileName)), name,
                   sizeof name) < 0) {
        ::FindClose(find);
        return Failed(ERROR_FILENAME_EXCED_RANGE, false);
      }
      DWORD attributes = item.dwFileAttributes;
      sink(name,
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ItemKind::kLink
           : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? ItemKind::kFolder
                                                           : ItemKind::kFile,
           user);
    } while (::FindNextFileW(find, &item));
    ::FindClose(find);
    return true;
  }

  FolderResult CreateFolder(const char* path) override {
    Wide wide(path);
    if (!wide.Text()) return NoPath(FolderResult::kFailed);
    if (::CreateDirectoryW(wide.Text(), nullptr)) return FolderResult::kCreated;
    DWORD error = ::GetLastError();
    return error == ERROR_ALREADY_EXISTS ? FolderResult::kAlreadyExists
                                         : Failed(error, FolderResult::kFailed);
  }

  FolderResult CreateFolderTree(const char* path) override {
    // Converted as a whole first, so a trail byte 0x5C is never taken for a separator.
    Wide wide(path);
    if (!wide.Text()) return NoPath(FolderResult::kFailed);
    if (wide.Length() > kMaxPath) return Failed(ERROR_FILENAME_EXCED_RANGE, FolderResult::kFailed);
    // The shell creates missing levels only between '\' separators.
    for (wchar_t* c = wide.Units(); *c; ++c) {
      if (*c == L'/') *c = L'\\';
    }
    HMODULE shell = ::GetModuleHandleA("shell32.dll");
    if (!shell) shell = ::LoadLibraryA("shell32.dll");
    if (!shell) return FolderResult::kFailed;
    auto create = reinterpret_cast<ShCreateDirectoryFn>(
        reinterpret_cast<void*>(::GetProcAddress(shell, MAKEINTRESOURCEA(165))));
    if (!create) return FolderResult::kFailed;
    int result = create(nullptr, wide.Text());
    if (result == 0) return FolderResult::kCreated;
    if (result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS) {
      return FolderResult::kAlreadyExists;
    }
    return Failed(static_cast<DWORD>(result), FolderResult::kFailed);
  }

  bool MoveItem(const char* from, const char* to) override {
    Wide wideFrom(from);
    Wide wideTo(to);
    if (!wideFrom.Text() || !wideTo.Text()) return NoPath(false);
    // The shell takes lists of paths, each ended by a zero, the list by a second zero.
    wchar_t fromList[kMaxPath + 2] = {};
    wchar_t toList[kMaxPath + 2] = {};
    if (wideFrom.Length() >= kMaxPath || wideTo.Length() >= kMaxPath) {
      return Failed(ERROR_FILENAME_EXCED_RANGE, false);
    }
    // The shell would move an item onto an existing folder into it: never replace or nest.
    if (::GetFileAttributesW(wideTo.Text()) != INVALID_FILE_ATTRIBUTES) {
      return Failed(ERROR_ALREADY_EXISTS, false);
    }
    std::wmemcpy(fromList, wideFrom.Text(), static_cast<size_t>(wideFrom.Length()));
    std::wmemcpy(toList, wideTo.Text(), static_cast<size_t>(wideTo.Length()));
    SHFILEOPSTRUCTW operation = {};
    operation.hwnd = nullptr;
    operation.wFunc = FO_MOVE;
    operation.pFrom = fromList;
    operation.pTo = toList;
    // The shell shows no box of its own: a failure goes to the caller alone, after one try,
    // since every further try could bring up another.
    operation.fFlags = static_cast<FILEOP_FLAGS>(FOF_SILENT | FOF_NOCONFIRMATION |
                                                 FOF_NOCONFIRMMKDIR | FOF_NOERRORUI);
    int result = ::SHFileOperationW(&operation);
    // Success counts only when the item really went: some shells report none for a held
    // file that they left where it was.
    bool sourceLeft = ::GetFileAttributesW(wideFrom.Text()) != INVALID_FILE_ATTRIBUTES;
    if (result == 0 && !sourceLeft) return true;
    return Failed(result != 0 ? static_cast<DWORD>(result) : ERROR_SHARING_VIOLATION, false);
  }

  bool ReplaceFile(const char* from, const char* to) override {
    Wide wideFrom(from);
    Wide wideTo(to);
    if (!wideFrom.Text() || !wideTo.Text()) return NoPath(false);
    // A folder at the new path is refused (access denied), never replaced.
    constexpr DWORD kFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    return ::MoveFileExW(wideFrom.Text(), wideTo.Text(), kFlags) != 0 ||
           Failed(::GetLastError(), false);
  }

  bool RemoveFolder(const char* path) override {
    Wide wide(path);
    if (!wide.Text()) return NoPath(false);
    return ::RemoveDirectoryW(wide.Text()) != 0 || Failed(::GetLastError(), false);
  }

  int64_t FreeSpace(const char* path) override {
    Wide wide(path);
    ULARGE_INTEGER available;
    if (!wide.Text() || !::GetDiskFreeSpaceExW(wide.Text(), &available, nullptr, nullptr)) {
      return -1;
    }
    return static_cast<int64_t>(available.QuadPart);
  }

  bool ExecutablePath(char* buffer, int capacity) override {
    wchar_t path[kEdgeUnits];
    DWORD n = ::GetModuleFileNameW(nullptr, path, kEdgeUnits);
    return n != 0 && n < kEdgeUnits && FromWide(path, static_cast<int>(n), buffer, capacity) >= 0;
  }

  bool CurrentFolder(char* buffer, int capacity) override {
    wchar_t path[kEdgeUnits];
    DWORD n = ::GetCurrentDirectoryW(kEdgeUnits, path);
    return n != 0 && n < kEdgeUnits && FromWide(path, static_cast<int>(n), buffer, capacity) >= 0;
  }

  void OpenConsole() override {
    ::AllocConsole();
    console_ = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    // Where the console takes no wide text, the bytes go through the C runtime. Each piece
    // reaches the console whole (ConsoleWrite flushes after every one): a runtime that keeps
    // a console stream unbuffered hands it over byte by byte, and a console that converts
    // every write on its own then splits each double-byte character.
    if (std::freopen("CONOUT$", "w", stdout)) std::setvbuf(stdout, nullptr, _IOFBF, 4096);
  }

  // The console gets the characters themselves, so its own code page does not matter.
  void ConsoleWrite(const char* text) override {
    Wide wide(text);
    DWORD written = 0;
    if (console_ != INVALID_HANDLE_VALUE && wide.Text() &&
        ::WriteConsoleW(console_, wide.Text(), static_cast<DWORD>(wide.Length()), &written,
                        nullptr)) {
      return;
    }
    std::fputs(text, stdout);
    std::fflush(stdout);
  }

  void DebugOutput(const char* text) override {
    Wide wide(text);
    if (wide.Text()) {
      ::OutputDebugStringW(wide.Text());
    } else {
      ::OutputDebugStringA(text);
    }
  }

  int MessageBox(const char* text, const char* caption, unsigned style) override {
    Wide wideText(text);
    if (!wideText.Text()) return ::MessageBoxA(nullptr, text, caption, style);
    if (!caption) return ::MessageBoxW(nullptr, wideText.Text(), nullptr, style);
    Wide wideCaption(caption);
    if (!wideCaption.Text()) return ::MessageBoxA(nullptr, text, caption, style);
    return ::MessageBoxW(nullptr, wideText.Text(), wideCaption.Text(), style);
  }

  bool ChooseFolder(const char* title, char* path) override {
    return zt4::ChooseFolder(nullptr, path, title);
  }

 private:
  template <typename Result>
  Result NoPath(Result result) {
    return Failed(ERROR_NO_UNICODE_TRANSLATION, result);
  }

  HANDLE console_ = INVALID_HANDLE_VALUE;

  // The system's words for an error code.
  template <typename Result>
  Result Failed(DWORD error, Result result) {
    char reason[256];
    wchar_t words[256];
    DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                               nullptr, error, 0, words, 256, nullptr);
    while (n > 0 && (words[n - 1] == L'\n' || words[n - 1] == L'\r' || words[n - 1] == L' ')) --n;
    if (n == 0 || FromWide(words, static_cast<int>(n), reason, sizeof reason) < 0) {
      std::snprintf(reason, sizeof reason, "error %lu", static_cast<unsigned long>(error));
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
  Wide wideTitle(title);
  BROWSEINFOW info = {};
  info.hwndOwner = owner;
  info.pidlRoot = nullptr;
  info.pszDisplayName = nullptr;
  info.lpszTitle = wideTitle.Text();
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  info.lpfn = ChooseFolderCallback;
  info.lParam = 0;
  info.iImage = 0;
  LPITEMIDLIST item = ::SHBrowseForFolderW(&info);
  if (!item) {
    allocator->Release();
    return false;
  }
  wchar_t chosen[MAX_PATH];
  bool ok = ::SHGetPathFromIDListW(item, chosen) != 0 &&
            FromWide(chosen, static_cast<int>(::wcslen(chosen)), path, kMaxPath) >= 0;
  allocator->Free(item);
  allocator->Release();
  return ok;
}

int CALLBACK ChooseFolderCallback(HWND window, UINT message, LPARAM /*param*/, LPARAM /*data*/) {
  if (message == BFFM_INITIALIZED) {
    // Preselect the current folder; a folder that cannot be read whole is not sent.
    wchar_t current[MAX_PATH];
    DWORD n = ::GetCurrentDirectoryW(MAX_PATH, current);
    if (n != 0 && n < MAX_PATH) {
      ::SendMessageW(window, BFFM_SETSELECTIONW, 1, reinterpret_cast<LPARAM>(current));
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

// The native text of the tools is the ANSI code page. On Japanese Windows it is CP932
// already and goes through untouched; elsewhere it is read through UTF-16.
int NativeToCp932(const char* text, char* out, int capacity) {
  size_t n = std::strlen(text);
  if (::GetACP() == kShiftJisCodePage) {
    if (capacity <= 0 || n >= static_cast<size_t>(capacity)) return -1;
    std::memcpy(out, text, n + 1);
    return static_cast<int>(n);
  }
  wchar_t units[kEdgeUnits];
  int count =
      n == 0 ? 0 : ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(n), units, kEdgeUnits);
  if (n != 0 && count == 0) return -1;
  return FromWide(units, count, out, capacity);
}

// For showing a text: a character the ANSI code page lacks comes out as its nearest one.
int Cp932ToNative(const char* text, char* out, int capacity) {
  size_t n = std::strlen(text);
  bool plain = std::memchr(text, kForeignMark, n) == nullptr;
  if (::GetACP() == kShiftJisCodePage && plain) {
    if (capacity <= 0 || n >= static_cast<size_t>(capacity)) return -1;
    std::memcpy(out, text, n + 1);
    return static_cast<int>(n);
  }
  Wide wide(text);
  if (!wide.Text() || capacity <= 0) return -1;
  int bytes = wide.Length() == 0 ? 0
                                 : ::WideCharToMultiByte(CP_ACP, 0, wide.Text(), wide.Length(), out,
                                                         capacity - 1, nullptr, nullptr);
  if (wide.Length() != 0 && bytes == 0) return -1;
  out[bytes] = 0;
  return bytes;
}

int Cp932RunToUnits(const char* bytes, int count, char16_t* out, int capacity) {
  if (count == 0) return 0;
  int n = ::MultiByteToWideChar(kShiftJisCodePage, 0, bytes, count, reinterpret_cast<wchar_t*>(out),
                                capacity);
  return n == 0 ? -1 : n;
}

int UnitsToCp932Run(const char16_t* units, int count, char* out, int capacity) {
  if (count == 0) return 0;
  if (count > kEdgeUnits) return -1;
  const auto* wide = reinterpret_cast<const wchar_t*>(units);
  BOOL usedDefault = FALSE;
  int n = ::WideCharToMultiByte(kShiftJisCodePage, WC_NO_BEST_FIT_CHARS, wide, count, out, capacity,
                                nullptr, &usedDefault);
  return n == 0 || usedDefault ? -1 : n;
}

int UsableProcessors() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system)) return 1;
  int count = 0;
  for (; process != 0; process &= process - 1) ++count;
  return count > 0 ? count : 1;
}

bool OsIsWindows() { return true; }
bool OsFoldsNameCase() { return true; }

}  // namespace zt4
