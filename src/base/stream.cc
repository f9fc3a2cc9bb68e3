#include "base/stream.h"

#include <cstdlib>
#include <cstring>

#include "base/heap.h"
#include "base/shift_jis.h"

namespace zt4 {
namespace {

MountedLookup gMountedLookup = nullptr;

}  // namespace

bool FileStream::Open(const PoolString& name, int32_t mode) {
  Close();
  if (mode != ReadMode && mode != CreateMode && mode != AppendMode) return false;
  PoolString resolved = ResolvePath(name);
  FileHandle opened = Os().OpenFile(resolved.Text(), mode);
  if (opened == kNoFile) return false;
  handle = opened;
  access = mode == ReadMode ? kReadAccess : kWriteAccess;
  if (mode == AppendMode) Seek(0, 2);
  path.Assign(resolved);
  return true;
}

void FileStream::Close() {
  if (handle != kNoFile) {
    Os().CloseFile(handle);
    handle = kNoFile;
    access = 0;
  }
  path.Assign("");
}

int32_t FileStream::Read(void* destination, int32_t count) {
  if (access != kReadAccess) return 0;
  return Os().ReadFile(handle, destination, count);
}

bool FileStream::Write(const void* source, int32_t count) {
  if (access != kWriteAccess) return false;
  return Os().WriteFile(handle, source, count);
}

int64_t FileStream::Tell() {
  if (handle == kNoFile) return 0;
  return Os().SeekFile(handle, 0, 1);
}

int64_t FileStream::Size() {
  if (handle == kNoFile) return 0;
  return Os().FileSize(handle);
}

bool FileStream::Seek(int64_t offset, int32_t origin) {
  if (handle == kNoFile) return false;
  return Os().SeekFile(handle, offset, origin) >= 0;
}

bool FileStream::Flush() {
  if (access != kWriteAccess) return false;
  return Os().FlushFile(handle);
}

bool MemoryStream::CreateBlock(uint32_t n, bool ownsBlock) {
  uint8_t* fresh = AllocBlock(n);
  if (!fresh) return false;
  Close();
  block = fresh;
  blockSize = n;
  size = 0;
  position = 0;
  owned = ownsBlock;
  mode = CreateMode;
  return true;
}

void MemoryStream::Attach(uint8_t* bytes, uint32_t n, bool ownsBytes) {
  Close();
  block = bytes;
  size = n;
  blockSize = n;
  owned = ownsBytes;
  mode = ReadMode;
}

bool MemoryStream::Open(const PoolString& name, int32_t openMode) {
  Close();
  uint8_t* loaded = nullptr;
  int32_t loadedSize = 0;
  if (!LoadWholeFile(name, &loaded, &loadedSize)) return false;
  block = loaded;
  size = static_cast<uint32_t>(loadedSize);
  blockSize = size;
  owned = true;
  mode = openMode;
  position = openMode == AppendMode ? size : 0;
  return true;
}

void MemoryStream::Close() {
  if (owned && block) FreeBlock(block);
  block = nullptr;
  size = 0;
  blockSize = 0;
  position = 0;
  owned = false;
  mode = -1;
}

int32_t MemoryStream::Read(void* destination, int32_t count) {
  if (count <= 0 || !block) return 0;
  uint32_t available = size - position;
  uint32_t n = static_cast<uint32_t>(count) < available ? static_cast<uint32_t>(count) : available;
  std::memcpy(destination, block + position, n);
  position += n;
  return static_cast<int32_t>(n);
}

bool MemoryStream::Grow(uint64_t needed) {
  if (blockSize >= needed) return true;
  uint64_t grown = 2ull * blockSize;
  if (grown < needed) grown = needed;
  if (grown > 0xFFFFFFFFull) return false;
  uint8_t* moved;
  if (!block) {
    // A stream that was never given a block gets one it does not own.
    moved = AllocBlock(static_cast<size_t>(grown));
    owned = false;
  } else {
    moved = static_cast<uint8_t*>(std::realloc(block, static_cast<size_t>(grown)));
  }
  if (!moved) return false;
  block = moved;
  blockSize = static_cast<uint32_t>(grown);
  return true;
}

bool MemoryStream::Write(const void* source, int32_t count) {
  if (count < 0) return false;
  uint32_t n = static_cast<uint32_t>(count);
  if (blockSize - position < n && !Grow(uint64_t{blockSize} + n)) return false;
  if (n > 0) std::memcpy(block + position, source, n);
  position += n;
  if (position > size) size = position;
  return true;
}

bool MemoryStream::Seek(int64_t offset, int32_t origin) {
  int64_t target;
  switch (origin) {
    case 0:
      target = offset;
      break;
    case 1:
      target = int64_t{position} + offset;
      break;
    case 2:
      target = int64_t{size} + offset;
      break;
    default:
      return false;
  }
  if (target <= 0) target = 0;
  if (target > size) target = size;
  position = static_cast<uint32_t>(target);
  return true;
}

uint8_t* ReadWhole(Stream& stream) {
  const int64_t size = stream.Size();
  if (size < 0 || size > INT32_MAX) return nullptr;
  uint8_t* block = AllocBlock(static_cast<size_t>(size));
  if (!block) return nullptr;
  if (stream.Read(block, static_cast<int32_t>(size)) != size) {
    FreeBlock(block);
    return nullptr;
  }
  return block;
}

PoolString ResolvePath(const PoolString& name) {
  if (name.FindFirst(':') >= 0 || (name.CharAt(0) == '\\' && name.Length() >= 2 &&
                                   name.CharAt(1) == '\\') ||
      IsNativeAbsolutePath(name.Text())) {
    return PoolString(name);
  }
  char executable[kMaxPath] = {};
  if (!Os().ExecutablePath(executable, kMaxPath)) return PoolString("");
  // The folder ends at the later of the last '\' and the last '/'. The path is CP932, so
  // a '\' may be the trail byte of a double-byte character.
  int64_t lastSeparator = LastSeparator(executable, std::strlen(executable));
  PoolString folder = lastSeparator >= 0
                          ? PoolString(executable, static_cast<int32_t>(lastSeparator))
                          : PoolString(executable);
  folder.Append("\\");
  folder.Append(name);
  return folder;
}

bool LoadWholeFile(const PoolString& name, uint8_t** outBlock, int32_t* outSize) {
  *outBlock = nullptr;
  *outSize = 0;
  int32_t slash = name.FindFirst('/');
  if (slash >= 0 && gMountedLookup) {
    MountedResult result =
        gMountedLookup(name.Slice(0, slash), name.Tail(slash), outBlock, outSize);
    if (result != MountedResult::kNotMounted) return result == MountedResult::kLoaded;
  }
  FileStream file;
  if (!file.Open(name, ReadMode)) return false;
  const int64_t size = file.Size();
  uint8_t* block = ReadWhole(file);
  if (!block) return false;
  *outBlock = block;
  *outSize = static_cast<int32_t>(size);
  return true;
}

void SetMountedLookup(MountedLookup lookup) { gMountedLookup = lookup; }

}  // namespace zt4
