// POSIX implementation of the platform: Linux files and folders, the terminal as the
// user's console and dialogs. Texts cross this edge as CP932 and become UTF-8 here, so an
// install whose Japanese names are stored as UTF-8 (as Wine and Proton store them) is
// patched by the same code as on Windows; a name with characters Shift-JIS lacks is
// carried in the edge's reversible form (edge_text.h).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <bit>
#include <cstring>

#include "platform/edge_text.h"
#include "platform/platform.h"

namespace zt4 {
namespace {

constexpr int kNativePathBytes = PATH_MAX;

// An iconv descriptor, opened on first use in each thread and reset before each run.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (Usable()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // The bytes written, or -1 when the input does not convert whole or does not fit.
  int Run(const void* input, size_t inBytes, void* output, size_t outBytes) {
    if (!Usable()) return -1;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(static_cast<const char*>(input));
    char* out = static_cast<char*>(output);
    size_t outLeft = outBytes;
    size_t done = iconv(cd_, &in, &inBytes, &out, &outLeft);
    if (done != static_cast<size_t>(-1)) done = iconv(cd_, nullptr, nullptr, &out, &outLeft);
    if (done == static_cast<size_t>(-1) || inBytes != 0) return -1;
    return static_cast<int>(outBytes - outLeft);
  }

 private:
  bool Usable() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t cd_;
};

constexpr const char* kUnitsEncoding =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// A name or text of the OS (UTF-8) as the program carries it, and back; -1 when it does
// not fit (or, going out, does not convert).
int NativeToInternal(const char* native, char* out, int capacity) {
  char16_t units[kEdgeUnits];
  int count = Utf8ToUnits(native, units, kEdgeUnits);
  return count < 0 ? -1 : EdgeFromUnits(units, count, out, capacity);
}

int InternalToNative(const char* text, char* out, int capacity) {
  char16_t units[kEdgeUnits];
  int count = EdgeToUnits(text, units, kEdgeUnits);
  return count < 0 ? -1 : UnitsToUtf8(units, count, out, capacity);
}

// A path as the kernel wants it: UTF-8, then '\' -> '/'. Converting first means a
// Shift-JIS trail byte 0x5C is never taken for a separator.
bool ToNativePath(const char* path, char* out) {
  int n = InternalToNative(path, out, kNativePathBytes);
  if (n < 0) return false;
  for (int i = 0; i < n; ++i) {
    if (out[i] == '\\') out[i] = '/';
  }
  return true;
}

int ToFd(FileHandle file) { return static_cast<int>(file); }

// Reads one line from standard input without its line end; false at the end of input.
bool ReadAnswerLine(char* line, int capacity) {
  if (!fgets(line, capacity, stdin)) return false;
  size_t n = strlen(line);
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = 0;
  return true;
}

void WriteToStderr(const char* cp932) {
  char utf8[8192];
  if (InternalToNative(cp932, utf8, sizeof utf8) < 0) {
    fputs(cp932, stderr);  // shown as bytes rather than not at all
  } else {
    fputs(utf8, stderr);
  }
}

// A name in the OS's own text for a message: bytes from 0x80 up as \xNN, since a name
// that failed to convert need not be UTF-8 either.
void EscapeName(const char* name, char* out, size_t capacity) {
  size_t n = 0;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(name); *c; ++c) {
    if (n + 5 >= capacity) break;
    n += static_cast<size_t>(*c >= 0x80 ? snprintf(out + n, capacity - n, "\\x%02X", *c)
                                        : snprintf(out + n, capacity - n, "%c", *c));
  }
  out[n] = 0;
}

class PosixPlatform final : public Platform {
 public:
  FileHandle OpenFile(const char* path, int mode) override {
    char native[kNativePathBytes];
    if (!ToNativePath(path, native)) return NoPath(kNoFile);
    int flags;
    switch (mode) {
      case kOpenRead:
        flags = O_RDONLY;
        break;
      case kOpenCreate:
        unlink(native);  // a failure to delete is not an error: the create decides
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        break;
      case kOpenAppend:
        flags = O_WRONLY | O_CREAT;
        break;
      default:
        return kNoFile;
    }
    int fd = open(native, flags | O_CLOEXEC, 0666);
    if (fd < 0) return Failed(errno, kNoFile);
    struct stat info;
    bool known = fstat(fd, &info) == 0;
    if (!known || S_ISDIR(info.st_mode)) {
      int error = known ? EISDIR : errno;
      close(fd);
      return Failed(error, kNoFile);
    }
#ifdef POSIX_FADV_SEQUENTIAL
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    return fd;
  }

  void CloseFile(FileHandle file) override {
    if (file != kNoFile) close(ToFd(file));
  }

  int32_t ReadFile(FileHandle file, void* buffer, int32_t count) override {
    if (count <= 0) return 0;
    // One call for the caller, as many read(2)s as the kernel needs.
    char* out = static_cast<char*>(buffer);
    int32_t total = 0;
    while (total < count) {
      ssize_t n = read(ToFd(file), out + total, static_cast<size_t>(count - total));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Failed(errno, 0);
      if (n <= 0) break;
      total += static_cast<int32_t>(n);
    }
    return total;
  }

  bool WriteFile(FileHandle file, const void* data, int32_t count) override {
    if (count < 0) return false;
    const char* in = static_cast<const char*>(data);
    int32_t total = 0;
    while (total < count) {
      ssize_t n = write(ToFd(file), in + total, static_cast<size_t>(count - total));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Failed(n < 0 ? errno : ENOSPC, false);
      total += static_cast<int32_t>(n);
    }
    return true;
  }

  int64_t SeekFile(FileHandle file, int64_t offset, int origin) override {
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    off_t result = lseek(ToFd(file), static_cast<off_t>(offset), whence);
    return result < 0 ? Failed(errno, int64_t{-1}) : static_cast<int64_t>(result);
  }

  int64_t FileSize(FileHandle file) override {
    struct stat info;
    if (fstat(ToFd(file), &info) != 0) return Failed(errno, int64_t{-1});
    return static_cast<int64_t>(info.st_size);
  }

  bool FlushFile(FileHandle file) override {
    return fsync(ToFd(file)) == 0 || Failed(errno, false);
  }

  bool FlushFolder(const char* path) override {
    char native[kNativePathBytes];
    if (!ToNativePath(path, native)) return NoPath(false);
    int fd = open(native, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Failed(errno, false);
    bool ok = fsync(fd) == 0 || Failed(errno, false);
    close(fd);
    return ok;
  }

  bool DeleteFile(const char* path) override {
    char native[kNativePathBytes];
    if (!ToNativePath(path, native)) return NoPath(false);
    return unlink(native) == 0 || Failed(errno, false);
  }

  bool ForEachFolderItem(const char* folder, FolderItemSink sink, void* user) override {
    char native[kNativePathBytes];
    if (!ToNativePath(folder, native)) return NoPath(false);
    DIR* dir = opendir(native);
    if (!dir) return Failed(errno, false);
    // Items go to the sink as they are read; a name too long to carry ends the listing
    // with a failure, and the caller drops the items it was given.
    bool ok = true;
    size_t folderLength = strlen(native);
    while (struct dirent* item = readdir(dir)) {
      char name[kMaxPath];
      if (NativeToInternal(item->d_name, name, sizeof name) < 0) {
        char shown[128];
        char reason[192];
        EscapeName(item->d_name, shown, sizeof shown);
        snprintf(reason, sizeof reason, "the name %s is too long for a path", shown);
        ok = FailWith(reason, false);
        break;
      }
      unsigned char type = item->d_type;
      if (type == DT_UNKNOWN) {
        char full[kNativePathBytes];
        size_t nameLength = strlen(item->d_name);
        if (folderLength + 1 + nameLength >= sizeof full) {
          ok = Failed(ENAMETOOLONG, false);
          break;
        }
        memcpy(full, native, folderLength);
        full[folderLength] = '/';
        memcpy(full + folderLength + 1, item->d_name, nameLength + 1);
        struct stat info;
        type = lstat(full, &info) != 0   ? DT_UNKNOWN
               : S_ISDIR(info.st_mode) ? DT_DIR
               : S_ISLNK(info.st_mode) ? DT_LNK
                                       : DT_REG;
      }
      sink(name, type == DT_DIR ? ItemKind::kFolder : type == DT_LNK ? ItemKind::kLink : ItemKind::kFile,
           user);
    }
    closedir(dir);
    return ok;
  }

  FolderResult CreateFolder(const char* path) override {
    char native[kNativePathBytes];
    if (!ToNativePath(path, native)) return NoPath(FolderResult::kFailed);
    if (mkdir(native, 0777) == 0) return FolderResult::kCreated;
    return errno == EEXIST ? FolderResult::kAlreadyExists : Failed(errno, FolderResult::kFailed);
  }

  FolderResult CreateFolderTree(const char* path) override {
    char native[kNativePathBytes];
    if (!ToNativePath(path, native)) return NoPath(FolderResult::kFailed);
    size_t n = strlen(native);
    while (n > 1 && native[n - 1] == '/') native[--n] = 0;
    struct stat info;
    if (stat(native, &info) == 0) {
      return S_ISDIR(info.st_mode) ? FolderResult::kAlreadyExists
                                   : Failed(ENOTDIR, FolderResult::kFailed);
    }
    for (size_t i = 1; i < n; ++i) {
      if (native[i] != '/') continue;
      native[i] = 0;
      if (mkdir(native, 0777) != 0 && errno != EEXIST) return Failed(errno, FolderResult::kFailed);
      native[i] = '/';
    }
    if (mkdir(native, 0777) == 0) return FolderResult::kCreated;
    return errno == EEXIST ? FolderResult::kAlreadyExists : Failed(errno, FolderResult::kFailed);
  }

  bool MoveItem(const char* from, const char* to) override {
    char nativeFrom[kNativePathBytes];
    char nativeTo[kNativePathBytes];
    if (!ToNativePath(from, nativeFrom) || !ToNativePath(to, nativeTo)) return NoPath(false);
    struct stat info;
    if (lstat(nativeTo, &info) == 0) return Failed(EEXIST, false);  // never replace what is there
    return rename(nativeFrom, nativeTo) == 0 || Failed(errno, false);
  }

  bool ReplaceFile(const char* from, const char* to) override {
    char nativeFrom[kNativePathBytes];
    char nativeTo[kNativePathBytes];
    if (!ToNativePath(from, nativeFrom) || !ToNativePath(to, nativeTo)) return NoPath(false);
    // rename() refuses a folder at the new path for a file: nothing is entered.
    return rename(nativeFrom, nativeTo) == 0 || Failed(errno, false);
  }

  bool RemoveFolder(const char* path) override {
    char native[kNativePathBytes];
    if (!ToNativePath(path, native)) return NoPath(false);
    return rmdir(native) == 0 || Failed(errno, false);
  }

  int64_t FreeSpace(const char* path) override {
    char native[kNativePathBytes];
    struct statvfs volume;
    if (!ToNativePath(path, native) || statvfs(native, &volume) != 0) return -1;
    return static_cast<int64_t>(volume.f_bavail) * static_cast<int64_t>(volume.f_frsize);
  }

  bool ExecutablePath(char* buffer, int capacity) override {
    char native[kNativePathBytes];
    ssize_t n = readlink("/proc/self/exe", native, sizeof native - 1);
    if (n <= 0) return false;
    native[n] = 0;
    return NativeToInternal(native, buffer, capacity) >= 0;
  }

  bool CurrentFolder(char* buffer, int capacity) override {
    char native[kNativePathBytes];
    if (!getcwd(native, sizeof native)) return false;
    return NativeToInternal(native, buffer, capacity) >= 0;
  }

  void OpenConsole() override {}

  void ConsoleWrite(const char* text) override {
    char utf8[8192];
    if (InternalToNative(text, utf8, sizeof utf8) < 0) {
      fputs(text, stdout);
    } else {
      fputs(utf8, stdout);
    }
    fflush(stdout);
  }

  // The debugger channel of Windows has no reader here: standard error gets its lines
  // only when ZT4_DEBUG=1 asks for them.
  void DebugOutput(const char* text) override {
    static const bool wanted = [] {
      const char* value = getenv("ZT4_DEBUG");
      return value && strcmp(value, "1") == 0;
    }();
    if (!wanted) return;
    WriteToStderr(text);
    fflush(stderr);
  }

  int MessageBox(const char* text, const char* /*caption*/, unsigned style) override {
    fflush(stdout);
    WriteToStderr(text);
    if ((style & 0xF) != 0x4) {  // an OK box goes on at once
      fputc('\n', stderr);
      fflush(stderr);
      return kAnswerOk;
    }
    fputs(" [y/N] ", stderr);
    fflush(stderr);
    char line[256];
    if (!ReadAnswerLine(line, sizeof line)) return kAnswerNo;
    if (strcmp(line, "y") == 0 || strcmp(line, "Y") == 0 || strcmp(line, "yes") == 0 ||
        strcmp(line, "\xE3\x81\xAF\xE3\x81\x84") == 0) {  // "はい" in UTF-8
      return kAnswerYes;
    }
    return kAnswerNo;
  }

  bool ChooseFolder(const char* title, char* path) override {
    char current[kNativePathBytes];
    if (!getcwd(current, sizeof current)) return false;
    fflush(stdout);
    WriteToStderr(title);
    fprintf(stderr, "\n[%s] ", current);
    fflush(stderr);
    char line[kNativePathBytes];
    if (!ReadAnswerLine(line, sizeof line)) return false;
    char joined[kNativePathBytes * 2];
    if (line[0] == 0) {
      snprintf(joined, sizeof joined, "%s", current);
    } else if (line[0] == '/') {
      snprintf(joined, sizeof joined, "%s", line);
    } else {
      snprintf(joined, sizeof joined, "%s/%s", current, line);
    }
    char absolute[kNativePathBytes];
    if (!realpath(joined, absolute)) return false;
    struct stat info;
    if (stat(absolute, &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    // Handed over as Windows would: CP932 with '\' separators ('/' is never a trail byte).
    if (NativeToInternal(absolute, path, kMaxPath) < 0) return false;
    for (char* c = path; *c; ++c) {
      if (*c == '/') *c = '\\';
    }
    return true;
  }

 private:
  template <typename Result>
  Result Failed(int error, Result result) {
    return FailWith(strerror(error), result);
  }
  template <typename Result>
  Result NoPath(Result result) {
    return FailWith("the path does not convert to UTF-8 or is too long", result);
  }
};

PosixPlatform gNative;

pthread_mutex_t gPoolLock;
bool gPoolLockCreated = false;

}  // namespace

Platform& NativePlatform() { return gNative; }

void CreatePoolLock() {
  if (gPoolLockCreated) return;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&gPoolLock, &attributes);
  pthread_mutexattr_destroy(&attributes);
  gPoolLockCreated = true;
}

void DeletePoolLock() {
  if (!gPoolLockCreated) return;
  pthread_mutex_destroy(&gPoolLock);
  gPoolLockCreated = false;
}

void EnterPoolLock() { pthread_mutex_lock(&gPoolLock); }
void LeavePoolLock() { pthread_mutex_unlock(&gPoolLock); }

bool IsNativeAbsolutePath(const char* path) { return path[0] == '/' || path[0] == '\\'; }

int NativeToCp932(const char* text, char* out, int capacity) {
  return NativeToInternal(text, out, capacity);
}

int Cp932ToNative(const char* text, char* out, int capacity) {
  return InternalToNative(text, out, capacity);
}

int Cp932RunToUnits(const char* bytes, int count, char16_t* out, int capacity) {
  thread_local Converter toUnits(kUnitsEncoding, "CP932");
  if (count == 0) return 0;
  int n = toUnits.Run(bytes, static_cast<size_t>(count), out,
                      static_cast<size_t>(capacity) * sizeof(char16_t));
  return n < 0 ? -1 : n / static_cast<int>(sizeof(char16_t));
}

int UnitsToCp932Run(const char16_t* units, int count, char* out, int capacity) {
  thread_local Converter fromUnits("CP932", kUnitsEncoding);
  if (count == 0) return 0;
  if (count > kEdgeUnits) return -1;
  return fromUnits.Run(units, static_cast<size_t>(count) * sizeof(char16_t), out,
                       static_cast<size_t>(capacity));
}

int UsableProcessors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  int count = CPU_COUNT(&set);
  return count > 0 ? count : 1;
}

bool OsIsWindows() { return false; }
bool OsFoldsNameCase() { return false; }

}  // namespace zt4
