// The one seam between the system and the operating system.
//
// Paths and texts handed across it are CP932 (Shift-JIS) bytes with '\' or '/' as
// separators. Each implementation converts at its edge: Windows to UTF-16 for the wide
// calls, POSIX to UTF-8 (then '\' -> '/'). A name the OS hands back may hold characters
// Shift-JIS lacks; they travel in the reversible form of edge_text.h.
//
// Everything the update does to the disk and to the user goes through a `Platform`, so
// tests can wrap the real one (fault injection, scripted dialogs). The lock of the string
// pools is not virtual: it is taken on every string change and must never fail.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt4 {

using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Open modes of a file: the values are those of the streams' open modes.
inline constexpr int kOpenRead = 0;    // existing file, read access
inline constexpr int kOpenCreate = 1;  // always a new empty file, write access
inline constexpr int kOpenAppend = 2;  // opened or created, write access

inline constexpr int kMaxPath = 260;  // including the terminating zero

enum class FolderResult { kCreated, kAlreadyExists, kFailed };

// Message box styles and answers, as the Win32 values.
inline constexpr unsigned kBoxOk = 0x0;
inline constexpr unsigned kBoxConfirm = 0x144;  // Yes/No, information icon, No default
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

// What a folder listing says an item is. A link (a symbolic link, a junction) is told
// apart from what it points to.
enum class ItemKind { kFile, kFolder, kLink };

// Called once per item of a folder listing, in the order the OS delivers them.
using FolderItemSink = void (*)(const char* name, ItemKind kind, void* user);

class Platform {
 public:
  virtual ~Platform() = default;

  // Files. `Open` with kOpenCreate deletes an existing file first; files are shared
  // with readers only and opened with the sequential-scan hint.
  virtual FileHandle OpenFile(const char* path, int mode) = 0;
  virtual void CloseFile(FileHandle file) = 0;
  virtual int32_t ReadFile(FileHandle file, void* buffer, int32_t count) = 0;
  virtual bool WriteFile(FileHandle file, const void* data, int32_t count) = 0;
  // origin 0: start, 1: current, 2: end. Returns the new position, or -1.
  virtual int64_t SeekFile(FileHandle file, int64_t offset, int origin) = 0;
  virtual int64_t FileSize(FileHandle file) = 0;
  // Puts what was written to the file on the disk itself, so that it outlives a power cut.
  virtual bool FlushFile(FileHandle file) = 0;
  virtual bool DeleteFile(const char* path) = 0;

  // Folders. Every item is handed to `sink` as it is read, "." and ".." included. False
  // when the folder cannot be listed or one of its names is too long to hand over; the
  // caller then drops what it was given.
  virtual bool ForEachFolderItem(const char* folder, FolderItemSink sink, void* user) = 0;
  virtual FolderResult CreateFolder(const char* path) = 0;
  // Creates the folder and every missing parent.
  virtual FolderResult CreateFolderTree(const char* path) = 0;
  // Moves one file or folder (with its content) to a new path on the same volume; fails
  // when an item is at the new path already (it is neither replaced nor entered).
  virtual bool MoveItem(const char* from, const char* to) = 0;
  // Renames a file within its volume, replacing a file at the new path (never a folder):
  // at any moment the new path holds the old file or the whole new one.
  virtual bool ReplaceFile(const char* from, const char* to) = 0;
  // Removes an empty folder.
  virtual bool RemoveFolder(const char* path) = 0;
  // Puts the folder's own changes (items made, moved, removed) on the disk itself, where
  // the OS does not keep them in order by itself.
  virtual bool FlushFolder(const char* path) = 0;

  // Bytes free for this user on the volume that holds `path`; -1 when unknown.
  virtual int64_t FreeSpace(const char* path) = 0;

  // The program's own executable path (CP932); false when it cannot be had or fit.
  virtual bool ExecutablePath(char* buffer, int capacity) = 0;
  // The process's current folder (CP932); false when it cannot be had or fit.
  virtual bool CurrentFolder(char* buffer, int capacity) = 0;

  // The user's side: console, debugger channel, message boxes, folder dialog.
  virtual void OpenConsole() = 0;
  virtual void ConsoleWrite(const char* text) = 0;  // Shift-JIS, written as given
  virtual void DebugOutput(const char* text) = 0;
  // `caption` may be null: the platform's default caption.
  virtual int MessageBox(const char* text, const char* caption, unsigned style) = 0;
  // Lets the user pick a folder; `path` receives kMaxPath bytes at most.
  virtual bool ChooseFolder(const char* title, char* path) = 0;

  // Why the last call of a platform on this thread that failed did so, in the OS's own
  // text and without the path, which the caller knows: "No such file or directory", or on
  // POSIX "the name bad\xFFname is too long for a path". Empty when nothing failed yet.
  virtual const char* LastFailure() { return failure_; }

 protected:
  // Records why a call failed and hands back the call's failure result.
  template <typename Result>
  Result FailWith(const char* reason, Result result) {
    size_t n = 0;
    while (reason[n] != 0 && n + 1 < sizeof failure_) {
      failure_[n] = reason[n];
      ++n;
    }
    failure_[n] = 0;
    return result;
  }

 private:
  // Per thread: the checks of several threads fail on their own.
  static inline thread_local char failure_[256] = "";
};

// The platform in use: the native one unless a test installed another.
Platform& Os();
Platform& NativePlatform();
// Installs `platform` (null: the native one again); returns the previous one.
Platform* InstallPlatform(Platform* platform);

// The re-entrant lock that serialises the string pools. Created at process start,
// deleted at exit after every object holding strings is gone.
void CreatePoolLock();
void DeletePoolLock();
void EnterPoolLock();
void LeavePoolLock();

// The applier's own entry. The platform's entry point (WinMain for the Windows GUI
// program, main on POSIX) calls it and returns its result as the exit status.
int ProgramMain();

// True when the OS reads `path` as absolute although it has neither a drive colon nor a
// leading "\\" (a POSIX path beginning with '/' or '\'); never on Windows.
bool IsNativeAbsolutePath(const char* path);

// Text of the OS itself (command lines, file names a tool shows) <-> CP932, characters
// Shift-JIS lacks in the edge's form. On Windows that text is the ANSI code page (on
// Japanese Windows it is CP932 and nothing changes); on POSIX it is UTF-8.
// Return the length written (without the zero) or -1 when the text does not convert
// or does not fit.
int NativeToCp932(const char* text, char* out, int capacity);
int Cp932ToNative(const char* text, char* out, int capacity);

// --- for the tools ---------------------------------------------------------------------------

// Facts of the OS the program runs on, for code that must phrase a path the OS's way.
bool OsIsWindows();
// True when the file system takes names that differ only in letter case for the same item.
bool OsFoldsNameCase();

// The processors this process may run on (its affinity), at least 1.
int UsableProcessors();

}  // namespace zt4
