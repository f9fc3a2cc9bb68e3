// Streams over files and memory, and whole-file loading (a mounted archive first, the
// disk otherwise).
#pragma once

#include <cstdint>

#include "base/pool_string.h"
#include "platform/platform.h"

namespace zt4 {

inline constexpr int32_t ReadMode = 0;
inline constexpr int32_t CreateMode = 1;
inline constexpr int32_t AppendMode = 2;

class Stream {
 public:
  virtual bool Open(const PoolString& name, int32_t mode) = 0;
  virtual void Close() = 0;
  virtual int32_t Read(void* destination, int32_t count) = 0;
  virtual bool Write(const void* source, int32_t count) = 0;
  // Positions and sizes are 64-bit: a plain file may pass 4 GiB.
  virtual int64_t Tell() = 0;
  virtual int64_t Size() = 0;
  virtual bool Seek(int64_t offset, int32_t origin) = 0;
  // Puts what was written on the disk itself; nothing to do for a stream in memory.
  virtual bool Flush() { return true; }
  virtual ~Stream() = default;
};

class FileStream final : public Stream {
 public:
  static constexpr uint32_t kReadAccess = 0x80000000u;   // GENERIC_READ
  static constexpr uint32_t kWriteAccess = 0x40000000u;  // GENERIC_WRITE

  FileStream() = default;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;
  ~FileStream() override { Close(); }

  bool Open(const PoolString& name, int32_t mode) override;
  void Close() override;
  int32_t Read(void* destination, int32_t count) override;
  bool Write(const void* source, int32_t count) override;
  int64_t Tell() override;
  int64_t Size() override;
  bool Seek(int64_t offset, int32_t origin) override;
  bool Flush() override;

  bool IsOpen() const { return handle != kNoFile; }
  const PoolString& Path() const { return path; }

 private:
  FileHandle handle = kNoFile;
  uint32_t access = 0;
  PoolString path;
};

class MemoryStream final : public Stream {
 public:
  MemoryStream() = default;
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;
  ~MemoryStream() override { Close(); }

  // Takes a new block of n bytes; with owned false the block outlives the stream (the
  // caller takes it with Data and frees it).
  bool CreateBlock(uint32_t n, bool owned);
  // Reads the `n` bytes at `bytes`, which the stream frees on close only when `owned`.
  void Attach(uint8_t* bytes, uint32_t n, bool ownsBytes);
  uint8_t* Data() const { return block; }
  uint32_t BlockSize() const { return blockSize; }

  bool Open(const PoolString& name, int32_t mode) override;
  void Close() override;
  int32_t Read(void* destination, int32_t count) override;
  bool Write(const void* source, int32_t count) override;
  int64_t Tell() override { return position; }
  int64_t Size() override { return size; }
  bool Seek(int64_t offset, int32_t origin) override;

 private:
  bool Grow(uint64_t needed);

  uint8_t* block = nullptr;
  uint32_t size = 0;
  uint32_t blockSize = 0;
  uint32_t position = 0;
  bool owned = false;
  int32_t mode = -1;
};

// The whole rest of the stream in one heap block of Size() bytes, or null when the block
// cannot be had, the stream passes 2 GiB or the read comes up short.
uint8_t* ReadWhole(Stream& stream);

// A relative name becomes a path in the program's own folder; absolute names (a drive
// colon anywhere, a leading "\\", or the OS's own absolute form) are kept.
PoolString ResolvePath(const PoolString& name);

// Loads a whole file: "mount/member" from the archive mounted under "mount" (never
// falling back to the disk), anything else from the disk.
bool LoadWholeFile(const PoolString& name, uint8_t** outBlock, int32_t* outSize);

// The archive layer answers mounted names through this seam: kNotMounted sends the name
// to the disk; otherwise the lookup's own result stands.
enum class MountedResult { kNotMounted, kLoaded, kFailed };
using MountedLookup = MountedResult (*)(const PoolString& mountName, const PoolString& member,
                                        uint8_t** outBlock, int32_t* outSize);
void SetMountedLookup(MountedLookup lookup);

}  // namespace zt4
