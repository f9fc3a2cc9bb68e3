// One archive file held in memory, behind the platform: the archive code reads and
// writes it through its ordinary streams, and no input ever touches the disk. Reading
// serves the caller's bytes in place (not copied), so a sanitizer sees any read past
// the end; writing collects the bytes in a vector.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/forwarding_platform.h"

namespace zt4::fuzz {

class MemoryFilePlatform final : public test::ForwardingPlatform {
 public:
  // The drive colon keeps the name as it is: no program folder is put in front.
  static constexpr const char* kPath = "M:\\archive.zt4";

  void SetContent(const uint8_t* data, size_t size) {
    readData_ = data;
    readSize_ = size;
  }
  const std::vector<uint8_t>& Written() const { return written_; }

  FileHandle OpenFile(const char* path, int mode) override {
    if (std::strcmp(path, kPath) != 0 || open_) return kNoFile;
    if (mode == kOpenRead) {
      writing_ = false;
    } else if (mode == kOpenCreate) {
      writing_ = true;
      written_.clear();
    } else {
      return kNoFile;
    }
    open_ = true;
    position_ = 0;
    return kHandle;
  }

  void CloseFile(FileHandle file) override {
    if (file == kHandle) open_ = false;
  }

  int32_t ReadFile(FileHandle file, void* buffer, int32_t count) override {
    if (!IsOurs(file) || writing_ || count <= 0 || position_ >= Size()) return 0;
    int64_t n = Size() - position_ < count ? Size() - position_ : count;
    std::memcpy(buffer, readData_ + position_, static_cast<size_t>(n));
    position_ += n;
    return static_cast<int32_t>(n);
  }

  bool WriteFile(FileHandle file, const void* data, int32_t count) override {
    if (!IsOurs(file) || !writing_ || count < 0) return false;
    size_t end = static_cast<size_t>(position_) + static_cast<size_t>(count);
    if (written_.size() < end) written_.resize(end);
    if (count > 0) std::memcpy(written_.data() + position_, data, static_cast<size_t>(count));
    position_ = static_cast<int64_t>(end);
    return true;
  }

  int64_t SeekFile(FileHandle file, int64_t offset, int origin) override {
    if (!IsOurs(file)) return -1;
    int64_t base = origin == 0 ? 0 : origin == 1 ? position_ : Size();
    if (origin < 0 || origin > 2 || base + offset < 0) return -1;
    position_ = base + offset;
    return position_;
  }

  int64_t FileSize(FileHandle file) override { return IsOurs(file) ? Size() : -1; }

 private:
  static constexpr FileHandle kHandle = 0x7A74;

  bool IsOurs(FileHandle file) const { return open_ && file == kHandle; }
  int64_t Size() const { return static_cast<int64_t>(writing_ ? written_.size() : readSize_); }

  const uint8_t* readData_ = nullptr;
  size_t readSize_ = 0;
  std::vector<uint8_t> written_;
  bool open_ = false;
  bool writing_ = false;
  int64_t position_ = 0;
};

}  // namespace zt4::fuzz
