// The platform edge's texts: the exact CP932 bytes of names the OS hands over, the form
// of characters Shift-JIS lacks, and the way back to the same OS name. The same goldens
// hold on both systems (iconv here, the code page 932 calls of Windows under Wine).
#include "platform/edge_text.h"

#include <gtest/gtest.h>

#include <string>

#include "base/shift_jis.h"
#include "platform/platform.h"
#include "update/patch_list.h"

namespace zt4 {
namespace {

// The form of one UTF-16 unit: the mark and four hex digits.
std::string Form(const char* hex) { return "\xFF" + std::string(hex); }

std::string Inside(const std::u16string& units) {
  char out[1024];
  int n = EdgeFromUnits(units.data(), static_cast<int>(units.size()), out, sizeof out);
  EXPECT_GE(n, 0);
  return n < 0 ? std::string() : std::string(out, static_cast<size_t>(n));
}

std::u16string Outside(const std::string& text) {
  char16_t out[512];
  int n = EdgeToUnits(text.c_str(), out, 512);
  return n < 0 ? u"(does not convert)" : std::u16string(out, static_cast<size_t>(n));
}

TEST(EdgeText, OsNamesInsideAndBack) {
  struct Case {
    std::u16string os;
    std::string inside;
  } cases[] = {
      // Shift-JIS names stay the bytes they always were, trail bytes 0x5C included.
      {u"ソフト\\表.txt", "\x83\x5C\x83\x74\x83\x67\\\x95\x5C.txt"},
      {u"C:\\Jeux\\Café\\ソフト", "C:\\Jeux\\Caf" + Form("00E9") + "\\\x83\x5C\x83\x74\x83\x67"},
      {u"한국어", Form("D55C") + Form("AD6D") + Form("C5B4")},
      {u"中文目录", "\x92\x86\x95\xB6\x96\xDA" + Form("5F55")},
      {u"🎮.sav", Form("D83C") + Form("DFAE") + ".sav"},
      // One-way mappings are no form of their own: 〜 (U+301C) would come back as ～.
      {u"〜～", Form("301C") + "\x81\x60"},
      // A lone surrogate (Windows allows it in a name) comes back as itself.
      {u"x\xDC80", "x" + Form("DC80")},
  };
  for (const Case& c : cases) {
    std::string inside = Inside(c.os);
    EXPECT_EQ(inside, c.inside);
    EXPECT_EQ(Outside(inside), c.os);
  }
}

TEST(EdgeText, TheFormNeverHidesOrMakesASeparator) {
  std::string path = Inside(u"C:\\Café\\ソ\\é");
  // The last separator is the one before é, found by the Shift-JIS scan of the program.
  EXPECT_EQ(LastSeparator(path.data(), path.size()), static_cast<int64_t>(path.size()) - 6);
  EXPECT_EQ(path.substr(path.size() - 5), Form("00E9"));
  // A patch's file name never holds the mark, so it is never read as the form. A member
  // name never reaches the OS edge and may hold the byte.
  EXPECT_FALSE(IsSafeRelativeName(("Caf" + Form("00E9")).c_str(), false));
  EXPECT_TRUE(IsSafeRelativeName("/m\xFF", true));
  EXPECT_TRUE(IsSafeRelativeName("Caf\x82\xA0", false));
}

// Random names from a mix of scripts, separators and surrogates: each comes back unit for
// unit, and the program's Shift-JIS scan finds exactly the separators the OS sees.
TEST(EdgeText, RandomNamesRoundTripAndKeepTheirSeparators) {
  // ASCII and separators, é and ¥ (no CP932 form), ソ and 表 (trail byte 0x5C), ～ and 〜
  // (one CP932 code), Korean, simplified Chinese, ≒ (two CP932 codes), half-width ｱ; then
  // a surrogate pair and a lone surrogate.
  const std::u16string pool = u"a.\\/ \u00E9\u00A5\u30BD\u8868\uFF5E\u301C\uD55C\u5F55\u2252\uFF71";
  const char16_t surrogates[] = {0xD83C, 0xDFAE, 0xDC80};
  uint32_t state = 12345;
  for (int round = 0; round < 500; ++round) {
    std::u16string name;
    int separators = 0;
    for (int i = 0; i < 1 + round % 24; ++i) {
      state = state * 1103515245 + 12345;
      uint32_t pick = (state >> 16) % (pool.size() + 3);
      char16_t unit = pick < pool.size() ? pool[pick] : surrogates[pick - pool.size()];
      name += unit;
      separators += unit == u'\\' || unit == u'/';
    }
    std::string inside = Inside(name);
    ASSERT_EQ(Outside(inside), name) << round;
    int found = 0;
    for (size_t i = 0; i < inside.size(); i += CharLength(inside.data(), inside.size(), i)) {
      found += IsPathSeparator(inside[i]);
    }
    EXPECT_EQ(found, separators) << round;
  }
}

TEST(EdgeText, BrokenFormsDoNotConvert) {
  const std::string broken[] = {"a\xFF", "a" + Form("00E"), "a" + Form("00e9"), "a" + Form("00G9")};
  for (const std::string& text : broken) {
    char16_t out[16];
    EXPECT_EQ(EdgeToUnits(text.c_str(), out, 16), -1) << text;
  }
  char16_t small[4];
  EXPECT_EQ(EdgeToUnits((Form("00E9") + "abc").c_str(), small, 4), -1);  // does not fit
  char tight[6];
  EXPECT_EQ(EdgeFromUnits(u"é", 1, tight, 5), -1);
  EXPECT_EQ(EdgeFromUnits(u"é", 1, tight, 6), 5);
}

TEST(EdgeText, Utf8WithStrayBytesComesBackByteForByte) {
  const std::string names[] = {"Caf\xC3\xA9",  "\xED\x95\x9C",     "bad\xFFname", "\xC3",
                               "\xED\xA0\x80", "\xF0\x9F\x8E\xAE", "\xC0\xAF"};
  for (const std::string& name : names) {
    char16_t units[64];
    int count = Utf8ToUnits(name.c_str(), units, 64);
    ASSERT_GE(count, 0);
    char back[64];
    ASSERT_EQ(UnitsToUtf8(units, count, back, sizeof back), static_cast<int>(name.size()));
    EXPECT_EQ(std::string(back), name);
  }
  char16_t units[8];
  ASSERT_EQ(Utf8ToUnits("a\xFF", units, 8), 2);
  EXPECT_EQ(units[1], 0xDCFF);
}

TEST(EdgeText, PosixNamesWithoutAShiftJisFormRoundTrip) {
  if (OsIsWindows()) GTEST_SKIP() << "the native text of Windows is its ANSI code page";
  for (const std::string name :
       {"Caf\xC3\xA9", "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4", "bad\xFFname",
        "\xE4\xB8\xAD\xE6\x96\x87\xE7\x9B\xAE\xE5\xBD\x95"}) {
    char inside[256];
    ASSERT_GT(NativeToCp932(name.c_str(), inside, sizeof inside), 0) << name;
    char back[256];
    ASSERT_GT(Cp932ToNative(inside, back, sizeof back), 0);
    EXPECT_EQ(std::string(back), name);
  }
}

}  // namespace
}  // namespace zt4
