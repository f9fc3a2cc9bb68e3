#include "zt4mkpatch/file_ranges.h"

#include <algorithm>
#include <cstring>

namespace zt4::builder {

FileRanges::FileRanges(std::vector<std::string> oldPaths, std::string newPath, OldSpan newInMemory)
    : paths_(std::move(oldPaths)), newInMemory_(newInMemory), newIsFile_(!newPath.empty()) {
  paths_.push_back(std::move(newPath));
  files_.assign(paths_.size(), kNoFile);
  pages_.resize(kPagesKept);
}

FileRanges::~FileRanges() {
  for (FileHandle file : files_) {
    if (file != kNoFile) Os().CloseFile(file);
  }
}

FileHandle FileRanges::FileOf(int32_t source) {
  const size_t at = source == kNewContent ? paths_.size() - 1 : static_cast<size_t>(source);
  if (files_[at] == kNoFile) files_[at] = Os().OpenFile(paths_[at].c_str(), kOpenRead);
  return files_[at];
}

bool FileRanges::ReadFromFile(int32_t source, uint64_t offset, size_t length, uint8_t* into) {
  const FileHandle file = FileOf(source);
  if (file == kNoFile || Os().SeekFile(file, static_cast<int64_t>(offset), 0) < 0) return false;
  while (length > 0) {
    const auto want = static_cast<int32_t>(std::min<size_t>(length, size_t{1} << 30));
    const int32_t got = Os().ReadFile(file, into, want);
    if (got != want) return false;
    into += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

const FileRanges::Page* FileRanges::PageOf(int32_t source, uint64_t index) {
  ++uses_;
  Page* oldest = &pages_[0];
  for (Page& page : pages_) {
    if (page.source == source && page.index == index) {
      page.lastUse = uses_;
      return &page;
    }
    if (page.lastUse < oldest->lastUse) oldest = &page;
  }
  // A page is what the file holds of it: the last one may be short.
  const FileHandle file = FileOf(source);
  const int64_t size = file == kNoFile ? -1 : Os().FileSize(file);
  if (size < 0 || index * kPage >= static_cast<uint64_t>(size)) return nullptr;
  oldest->bytes.resize(kPage);
  oldest->size = static_cast<size_t>(std::min<uint64_t>(kPage, static_cast<uint64_t>(size) - index * kPage));
  oldest->source = -2;
  if (!ReadFromFile(source, index * kPage, oldest->size, oldest->bytes.data())) return nullptr;
  oldest->source = source;
  oldest->index = index;
  oldest->lastUse = uses_;
  return oldest;
}

bool FileRanges::Read(int32_t source, uint64_t offset, size_t length, uint8_t* into) {
  if (source == kNewContent && !newIsFile_) {
    if (offset > newInMemory_.size || length > newInMemory_.size - offset) return false;
    if (length > 0) std::memcpy(into, newInMemory_.data + offset, length);
    return true;
  }
  if (source < kNewContent || source >= static_cast<int32_t>(paths_.size()) - 1) return false;
  if (length >= kPage) return ReadFromFile(source, offset, length, into);
  while (length > 0) {
    const Page* page = PageOf(source, offset / kPage);
    const size_t within = static_cast<size_t>(offset % kPage);
    if (!page || within >= page->size) return false;
    const size_t take = std::min(length, page->size - within);
    std::memcpy(into, page->bytes.data() + within, take);
    into += take;
    offset += take;
    length -= take;
  }
  return true;
}

}  // namespace zt4::builder
