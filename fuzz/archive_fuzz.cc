// Archive::Open on arbitrary bytes, then Extract of every member the index names. The
// archive reads the bytes through a memory stream. Whatever opens must
// keep the reader's promises: a successful extraction gives exactly contentSize bytes
// with the stored CRC, a failed one gives null and 0, and the order of extractions does
// not matter.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "archive/archive.h"
#include "base/heap.h"
#include "base/pool_string.h"
#include "base/stream.h"
#include "codec/crc32.h"
#include "driver/process_objects.h"

namespace {

using zt4::fuzz::Check;

// Members stating more content than this are not extracted (see below).
constexpr uint32_t kLargestContent = 64u << 20;

struct Member {
  std::string name;
  zt4::ArchiveEntry entry;
};

bool CollectMember(const zt4::PoolString& key, zt4::ArchiveEntry& entry, void* user) {
  static_cast<std::vector<Member>*>(user)->push_back(
      {std::string(key.Text(), key.Length()), entry});
  return true;
}

// Extracts one member and checks the result; the content comes back for comparisons.
bool ExtractChecked(zt4::Archive& archive, const Member& member, std::string* content) {
  uint8_t* data = reinterpret_cast<uint8_t*>(1);  // must be overwritten either way
  int32_t size = -1;
  bool ok = archive.Extract(zt4::PoolString(member.name.c_str()), &data, &size);
  if (!ok) {
    Check(data == nullptr && size == 0, "failed extraction left outputs set");
    return false;
  }
  Check(data != nullptr, "extraction without a block");
  Check(size >= 0 && static_cast<uint32_t>(size) == member.entry.contentSize,
        "extracted size differs from contentSize");
  Check(zt4::Crc32(data, static_cast<size_t>(size), 0) == member.entry.crc ||
            (size == 0 && member.entry.crc == 0),
        "extracted content fails its CRC");
  content->assign(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
  zt4::FreeBlock(data);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = [] {
    zt4::StartProcessObjects();
    return true;
  }();
  (void)started;
  // Offsets and sizes in an archive are 32-bit; nothing near this size is useful here.
  if (size > (1u << 24)) return 0;

  // An exactly sized copy, so that a read past the end is seen.
  auto* bytes = static_cast<uint8_t*>(zt4::AllocBlock(size));
  Check(bytes != nullptr, "out of memory");
  if (size > 0) std::memcpy(bytes, data, size);
  auto* stream = new zt4::MemoryStream;
  stream->Attach(bytes, static_cast<uint32_t>(size), true);

  zt4::Archive archive;
  if (!archive.Open(stream)) {
    Check(!archive.IsOpen(), "failed open left the archive open");
    Check(archive.Index().EntryCount() == 0, "failed open left index entries");
    return 0;
  }
  Check(archive.IsOpen(), "open archive without a stream");
  Check(archive.Index().EntryCount() > 0, "an archive without members opened");

  // The reader hands out its table only as const; visiting it changes nothing.
  std::vector<Member> members;
  uint32_t visited =
      const_cast<zt4::ArchiveIndex&>(archive.Index()).ForEachEntry(CollectMember, &members);
  Check(visited == archive.Index().EntryCount(), "visit count differs from the entry count");

  // A record may state sizes up to 2 GiB, and the reader allocates what a record states
  // before it reads. Members whose coded bytes cannot lie in the input, or whose content
  // is far beyond what a small input decodes to, would only make every run slow.
  auto plausible = [size](const zt4::ArchiveEntry& entry) {
    return entry.storedSize <= size && entry.contentSize <= kLargestContent;
  };
  std::vector<bool> extracted(members.size());
  std::vector<std::string> contents(members.size());
  for (size_t i = 0; i < members.size(); ++i) {
    const zt4::ArchiveEntry* found = archive.Find(zt4::PoolString(members[i].name.c_str()));
    Check(found != nullptr, "a visited member is not found");
    if (plausible(members[i].entry))
      extracted[i] = ExtractChecked(archive, members[i], &contents[i]);
  }
  // Backwards once more: every member gives the same result in any order.
  for (size_t i = members.size(); i-- > 0;) {
    if (!plausible(members[i].entry)) continue;
    std::string again;
    Check(ExtractChecked(archive, members[i], &again) == extracted[i],
          "extraction result depends on the order");
    Check(!extracted[i] || again == contents[i], "extracted content depends on the order");
  }
  // A name the index does not hold fails cleanly.
  const zt4::PoolString missing("/\x01 not a member");
  if (archive.Find(missing) == nullptr) {
    uint8_t* block = reinterpret_cast<uint8_t*>(1);
    int32_t blockSize = -1;
    Check(!archive.Extract(missing, &block, &blockSize), "a missing member extracted");
    Check(block == nullptr && blockSize == 0, "failed extraction left outputs set");
  }
  return 0;
}
