#include "zt4/tool_common.h"

#include <cstdio>
#include <new>
#include <set>

#include "base/pool_string.h"
#include "base/stream.h"
#include "platform/platform.h"

namespace zt4::tool {

bool Fail(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "zt4: %s\n", message.c_str());
  return false;
}

void Warn(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "zt4: note: %s\n", message.c_str());
}

bool OpenArchive(const std::string& cp932Path, Archive* archive,
                 std::vector<IndexRecord>* records) {
  records->clear();
  auto* file = new (std::nothrow) FileStream;
  if (!file) return Fail("out of memory");
  if (!file->Open(PoolString(cp932Path.c_str()), ReadMode)) {
    delete file;
    return Fail(Shown(cp932Path) + ": cannot open the file (" + Os().LastFailure() + ")");
  }
  if (!OpenWithRecords(file, archive, records)) {
    return Fail(Shown(cp932Path) +
                ": not a readable archive (wrong header, damaged index, or no members)");
  }
  return true;
}

std::vector<std::string> DistinctNames(const std::vector<IndexRecord>& records) {
  std::vector<std::string> names;
  std::set<std::string> seen;
  for (const IndexRecord& record : records) {
    if (seen.insert(record.name).second) names.push_back(record.name);
  }
  return names;
}

}  // namespace zt4::tool
