// What the commands of the zt4 tool share beyond the tools' common library: their
// messages, and an archive opened together with its index records in file order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/heap.h"
#include "update/patch_list.h"
#include "common/files.h"
#include "common/index_records.h"
#include "common/names.h"

namespace zt4::tool {

// "zt4: " + message + newline on standard error. Returns false, so that a command can
// `return Fail(...)`.
bool Fail(const std::string& message);
// The same for a note that does not make the command fail.
void Warn(const std::string& message);

// Opens `cp932Path` as an archive and gives its index records in file order, duplicates
// included (the name table of the archive keeps one entry per name). On failure prints a
// message naming the file and saying why it could not be opened or read.
bool OpenArchive(const std::string& cp932Path, Archive* archive,
                 std::vector<IndexRecord>* records);
// A patch archive and its parsed description; the tree points into `list`.
struct Patch {
  Patch() = default;
  ~Patch();
  Patch(const Patch&) = delete;
  Patch& operator=(const Patch&) = delete;

  Archive archive;
  ScopedBlock list;
  PatchEntry* tree = nullptr;  // the applier's order: the file's last record first
};

// Opens the patch named on the command line and parses its description as the applier
// does. On failure prints a message saying what is wrong with it.
bool OpenPatch(const std::string& argument, Patch* patch);

// The names of `records` without repeats, in the order of their first record.
std::vector<std::string> DistinctNames(const std::vector<IndexRecord>& records);

}  // namespace zt4::tool
