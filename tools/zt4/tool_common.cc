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

namespace {
constexpr char kListMember[] = "/list";
}  // namespace

Patch::~Patch() { FreePatchList(tree); }

bool OpenPatch(const std::string& argument, Patch* patch) {
  std::string path;
  std::string error;
  if (!ArgumentPath(argument, &path, &error)) return Fail(error);
  std::vector<IndexRecord> records;
  if (!OpenArchive(path, &patch->archive, &records)) return false;
  if (!patch->archive.Find(PoolString(kListMember))) {
    return Fail(argument + ": no member " + kListMember + ": not a patch archive");
  }
  if (!patch->archive.Extract(PoolString(kListMember), &patch->list.data, &patch->list.size)) {
    return Fail(argument + ": member " + kListMember + " is damaged (it does not decode or " +
                "fails its CRC check)");
  }
  patch->tree = ParsePatchList(patch->list.data, patch->list.size);
  if (!patch->tree) {
    return Fail(argument + ": the update description (" + kListMember +
                ") is refused: empty, cut short, badly marked, a record without names, or a "
                "name outside the install; the applier stops on it as a damaged patch");
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
