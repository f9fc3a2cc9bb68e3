// A small but complete install and its next version, with the patch between them made
// by hand: plain files in subfolders, Shift-JIS names (one with the 0x5C trail byte), two
// archives with carried-over, changed, added, removed, reordered and empty members, and
// every kind of top-level entry.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "support/test_files.h"

namespace zt4::test {

struct SampleInstall {
  Tree oldTree;
  Tree newTree;
  std::string list;
  std::map<int32_t, std::string> payloads;
};

// With `userFile`, the install also holds the user's own "config.ini", which the old
// version does not know and the new one adds with its defaults. With `linkedFolder`, the
// old install's "mods" is where the test puts a link to a folder outside the install (an
// empty file where it does not), and the new version writes "mods/x.txt".
SampleInstall MakeSampleInstall(bool userFile = false, bool linkedFolder = false);

// The sample as a user has it below `folder`: the old install in `target` (folder/install)
// and the patch beside the program in `program` (folder/program/patch.zt4).
struct SampleLayout {
  SampleInstall sample;
  std::string program;
  std::string target;
};
bool LayOutSample(const std::string& folder, SampleLayout* layout);

// A test on the sample laid out in a fresh temporary folder.
class SampleLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SampleLayout layout;
    ASSERT_TRUE(LayOutSample(LayoutFolder(), &layout));
    sample_ = layout.sample;
    program_ = layout.program;
    target_ = layout.target;
  }
  // Where the sample is laid out (CP932): the temporary folder itself unless a test names
  // a folder below it.
  virtual std::string LayoutFolder() const { return folder_.Path(); }
  // The tree the install must end as: the new version beside the backup of the old one.
  Tree Updated() const {
    Tree expected = sample_.newTree;
    expected["BACKUP_FILES/"] = "";
    for (const auto& [path, content] : sample_.oldTree) expected["BACKUP_FILES/" + path] = content;
    return expected;
  }

  TempFolder folder_;
  SampleInstall sample_;
  std::string program_;
  std::string target_;
};

}  // namespace zt4::test
