#include "common/index_records.h"

namespace zt4::tool {
namespace {

bool CollectRecord(const PoolString& name, const ArchiveEntry& entry, void* user) {
  static_cast<std::vector<IndexRecord>*>(user)->push_back(
      {std::string(name.Text(), static_cast<size_t>(name.Length())), entry.storedSize,
       entry.contentSize, entry.offset, entry.crc});
  return true;
}

}  // namespace

bool OpenWithRecords(Stream* stream, Archive* archive, std::vector<IndexRecord>* records) {
  records->clear();
  if (archive->Open(stream, CollectRecord, records)) return true;
  records->clear();
  return false;
}

}  // namespace zt4::tool
