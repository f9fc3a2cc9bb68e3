// A small but complete install and its next version, with the patch between them made
// by hand: plain files in subfolders, Shift-JIS names (one with the 0x5C trail byte), two
// archives with carried-over, changed, added, removed, reordered and empty members, and
// every kind of top-level entry.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "support/test_files.h"

namespace zt4::test {

struct SampleInstall {
  Tree oldTree;
  Tree newTree;
  std::string list;
  std::map<int32_t, std::string> payloads;
};

SampleInstall MakeSampleInstall();

// The sample as a user has it below `folder`: the old install in `target` (folder/install)
// and the patch beside the program in `program` (folder/program/patch.zt4).
struct SampleLayout {
  SampleInstall sample;
  std::string program;
  std::string target;
};
bool LayOutSample(const std::string& folder, SampleLayout* layout);

}  // namespace zt4::test
