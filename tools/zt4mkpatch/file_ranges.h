// Ranges of files on the disk, for the block matcher and the segment writer: the old
// contents and the new one (or a new content held in memory). Small reads are served
// from the last pages read of each file, large ones straight from the file, so what a
// reader holds stays a few MiB whatever the size of the files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "zt4mkpatch/block_matcher.h"

namespace zt4::builder {

class FileRanges final : public Ranges {
 public:
  // `newPath` empty: the new content is `newInMemory`.
  FileRanges(std::vector<std::string> oldPaths, std::string newPath, OldSpan newInMemory = {});
  ~FileRanges() override;
  FileRanges(const FileRanges&) = delete;
  FileRanges& operator=(const FileRanges&) = delete;

  bool Read(int32_t source, uint64_t offset, size_t length, uint8_t* into) override;

 private:
  static constexpr size_t kPage = size_t{1} << 20;
  static constexpr size_t kPagesKept = 8;
  struct Page {
    int32_t source = -2;
    uint64_t index = 0;
    uint64_t lastUse = 0;
    size_t size = 0;
    std::vector<uint8_t> bytes;
  };

  // The file of a source, opened on first use; kNoFile when it cannot be.
  FileHandle FileOf(int32_t source);
  bool ReadFromFile(int32_t source, uint64_t offset, size_t length, uint8_t* into);
  const Page* PageOf(int32_t source, uint64_t index);

  std::vector<std::string> paths_;  // by source; the new content's last
  std::vector<FileHandle> files_;
  OldSpan newInMemory_;
  bool newIsFile_;
  std::vector<Page> pages_;
  uint64_t uses_ = 0;
};

}  // namespace zt4::builder
