// The user sees these bytes; a change to any of them is a change to the product.
#include "base/texts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace zt4 {
namespace {

std::string Hex(const char* text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char* p = text; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

TEST(Texts, ShiftJisBytesArePinned) {
  struct Pin {
    const char* text;
    const char* hex;
  } pins[] = {
      {StopPatchDamaged, "837083628360837483408343838b82aa946a91b982b582c482a282dc82b7"},
      {StopVersionMismatch, "837483408343838b82cc836f815b83578387839382aa88d982c882e882dc82b7"},
      {StopSourceMissing, "8341836283768366815b83678cb382cc837483408343838b82aa91b68ddd82b582dc82b982f1286f728a4a82af82dc82b982f129"},
      {StopNoMemory, "8bb082e782ad83818382838a82aa91ab82e882dc82b982f1"},
      {StopWriteFailed, "8d5890568ce382cc837483408343838b82c98f9182ab8d9e82dd82aa82c582ab82dc82b982f1"},
      {StopAborted, "8f88979d82f09286926682b582dc82b582bd"},
      {kConsoleCheckingPatch, "837083628360837483408343838b82cc8c9f8fd892862e2e2e"},
      {kConsoleCheckingTarget, "8341836283768366815b836791ce8fdb82cc837483408343838b82f08c9f8fd892862e2e2e"},
      {kConsoleMakingBackup, "837483408343838b82cc836f8362834e83418362837682f08dec90ac82b582c482a282dc82b72e2e2e"},
      {kConsoleApplying, "837483408343838b82c983708362836082f0934b977082b582c482a282dc82b72e2e2e"},
      {kConsoleCheckingResult, "8d5890568ce382cc837483408343838b82f0836083468362834e92862e2e2e"},
      {kConsoleEarlierBackup, "88c8914f82cc8d58905682cc836f8362834e83418362837681694241434b55505f46494c4553816a82aa8e6382c182c482a282dc82b7814295ca82cc8fea8f8a82d688da82b582c482a982e78ec08d7382b582c482ad82be82b382a2"},
      {kConsoleUnfinishedUpdate, "914f89f182cc8341836283768366815b836782aa8aae97b982b582c482a282dc82b982f18142"},
      {kResumeText, "914f89f182cc8341836283768366815b836782aa9372928682c59286926682b382ea82c482a282dc82b781428341836283768366815b836782f08dc48a4a82b582dc82b782a98148"},
      {kConfirmText, "837483408343838b82cc8341836283768366815b836782f08a4a8e6e82b582dc82b7814282e682eb82b582a282c582b782a98148"},
      {kConfirmCaption, "8a6d9446"},
      {kDoneText, "837483408343838b82cc8d58905682aa8aae97b982b582dc82b582bd"},
      {kDoneCaption, "82a8926d82e782b9"},
      {kFolderDialogTitle, "83708362836082f0939682c482e983668342838c834e8367838a82f0914991f082b582c482ad82be82b382a2"},
      {kCheckDoneLine, "0d3e3e20836083468362834e8aae97b92e8140814081408140814081400a"},
      {kApplyDoneLine, "0d3e3e208d5890568aae97b92e814020202020814081408140814081400a"},
      {kMountFailedFormat, "837483408343838b2025732082aa8e67977082c582ab82dc82b982f182c582b582bd"},
  };
  for (const Pin& pin : pins) EXPECT_EQ(Hex(pin.text), pin.hex);
}

TEST(Texts, StopMessagesKeepTableOrder) {
  EXPECT_EQ(StopMessages[0], StopPatchDamaged);
  EXPECT_EQ(StopMessages[2], StopSourceMissing);
  EXPECT_EQ(StopMessages[5], StopAborted);
  // The source-missing text carries "(or" and ")" in ASCII, without spaces.
  EXPECT_NE(std::strstr(StopSourceMissing, "(or\x8A" "J"), nullptr);
}

}  // namespace
}  // namespace zt4
