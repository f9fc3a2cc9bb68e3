// Contents in segments: what the writer codes against the matched stretches the decoder
// gives back byte for byte, in a payload hardly larger than the new bytes; and a damaged
// payload, a source that fails or a sink that refuses ends the decoding as such, never
// reading outside a source.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/texts.h"
#include "builder_fixture.h"
#include "support/scripted_platform.h"
#include "codec/segment_codec.h"
#include "zt4mkpatch/block_matcher.h"
#include "zt4mkpatch/segment_writer.h"

namespace zt4::builder {
namespace {

std::string Bytes(size_t size, uint64_t seed, bool text) {
  std::string out;
  while (out.size() < size) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    if (text) {
      out += "entry " + std::to_string((seed >> 33) % 3000) + "\n";
    } else {
      out += static_cast<char>(seed >> 33);
    }
  }
  out.resize(size);
  return out;
}

struct Sources final : SegmentSource {
  std::vector<std::string> old;
  bool fail = false;
  bool outside = false;  // a read past a source's end was asked for
  bool Read(uint16_t source, uint64_t offset, uint32_t length, uint8_t* into) override {
    if (source >= old.size() || offset + length > old[source].size()) {
      outside = true;
      return false;
    }
    if (fail) return false;
    old[source].copy(reinterpret_cast<char*>(into), length, offset);
    return true;
  }
};

struct Collected final : SegmentSink {
  std::string bytes;
  bool refuse = false;
  bool Take(const uint8_t* piece, size_t size) override {
    if (refuse) return false;
    bytes.append(reinterpret_cast<const char*>(piece), size);
    return true;
  }
};

struct Coded {
  Sources sources;
  std::vector<uint64_t> sizes;
  std::string content;
  std::string payload;
};

Coded Code(std::vector<std::string> old, std::string content, uint32_t window,
           unsigned threads = 1) {
  Coded coded;
  coded.sources.old = std::move(old);
  coded.content = std::move(content);
  std::vector<OldSpan> spans;
  for (const std::string& o : coded.sources.old) {
    spans.push_back({reinterpret_cast<const uint8_t*>(o.data()), o.size()});
    coded.sizes.push_back(o.size());
  }
  const OldSpan made{reinterpret_cast<const uint8_t*>(coded.content.data()),
                     coded.content.size()};
  SpanRanges ranges(spans, made);
  BlockMatcher matcher(coded.sizes, ranges);
  SegmentJob job;
  job.size = made.size;
  job.window = window;
  job.threads = threads;
  EXPECT_TRUE(WriteSegments(
      matcher, [&] { return std::make_unique<SpanRanges>(spans, made); }, job, &coded.payload));
  return coded;
}

SegmentResult Decode(Coded* c, const std::string& payload, Collected* out) {
  return DecodeSegments(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                        static_cast<uint16_t>(c->sizes.size()), c->sizes.data(), c->content.size(),
                        &c->sources, out);
}

TEST(Segments, RoundTripCostsOnlyWhatIsNew) {
  const std::string old = Bytes(600 << 10, 1, true) + Bytes(400 << 10, 2, false);
  const std::string other = Bytes(200 << 10, 3, false);
  const std::string added = Bytes(30000, 4, false);
  const struct {
    const char* name;
    std::vector<std::string> old;
    std::string content;
    size_t madeAnew;
  } cases[] = {
      {"edit, insert, delete",
       {old},
       old.substr(0, 100000) + "EDITED" + old.substr(100006, 400000) + added +
           old.substr(500006, 300000) + old.substr(820000),
       30006},
      {"reordered, two sources",
       {old, other},
       old.substr(700000, 200000) + other.substr(1000, 150000) + old.substr(0, 300000) + added,
       30000},
      {"nothing to go by", {old}, added, 30000},
      {"empty", {old}, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Coded coded = Code(c.old, c.content, 64 << 10);
    Collected out;
    ASSERT_EQ(Decode(&coded, coded.payload, &out), SegmentResult::kDone);
    EXPECT_TRUE(out.bytes == c.content);
    EXPECT_FALSE(coded.sources.outside);
    // The new bytes (random: they do not shrink) and a little for each segment.
    const size_t segments = (c.content.size() + (64 << 10) - 1) / (64 << 10);
    EXPECT_LE(coded.payload.size(), c.madeAnew + 16 + segments * 80) << coded.payload.size();
    // Windows coded on three threads at once give the same bytes.
    EXPECT_TRUE(Code(c.old, c.content, 64 << 10, 3).payload == coded.payload);
  }
}

TEST(Segments, DamageAndFailuresEndTheDecoding) {
  const std::string old = Bytes(300 << 10, 5, true);
  Coded coded = Code({old}, old.substr(0, 150000) + Bytes(5000, 6, false) + old.substr(160000),
                     32 << 10);
  // Cut anywhere, the payload is refused before a segment is decoded.
  for (size_t length = 0; length < coded.payload.size(); length += 7) {
    Collected out;
    EXPECT_EQ(Decode(&coded, coded.payload.substr(0, length), &out), SegmentResult::kDamaged)
        << length;
    EXPECT_TRUE(out.bytes.empty());
  }
  // A byte changed anywhere is found, or decodes to other bytes (the file's digest is
  // checked after); a stretch is never read outside its source.
  for (size_t at = 0; at < coded.payload.size(); at += 13) {
    std::string damaged = coded.payload;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
    Collected out;
    const SegmentResult result = Decode(&coded, damaged, &out);
    EXPECT_TRUE(result == SegmentResult::kDone || result == SegmentResult::kDamaged) << at;
    EXPECT_FALSE(coded.sources.outside) << at;
  }
  Collected out;
  coded.content += "x";  // another size than the payload states
  EXPECT_EQ(Decode(&coded, coded.payload, &out), SegmentResult::kDamaged);
  coded.content.pop_back();
  coded.sources.fail = true;
  EXPECT_EQ(Decode(&coded, coded.payload, &out), SegmentResult::kSourceFailed);
  coded.sources.fail = false;
  out.refuse = true;
  EXPECT_EQ(Decode(&coded, coded.payload, &out), SegmentResult::kSinkFailed);
}

// A payload handed over a piece at a time, as the applier reads it out of the patch,
// makes the same content whatever the pieces; cut short, or with a byte after it, it is
// damaged, and a frame longer than a segment can need is refused before it is gathered.
TEST(Segments, AStreamedPayloadDecodesInAnyPieces) {
  const std::string old = Bytes(300 << 10, 7, true);
  const std::string content = old.substr(0, 100000) + Bytes(9000, 8, false) + old.substr(120000);
  Coded coded = Code({old}, content, 32 << 10);
  auto streamed = [&](const std::string& payload, size_t piece, Collected* out) {
    SegmentStream stream(1, coded.sizes.data(), content.size(), &coded.sources, out);
    for (size_t at = 0; at < payload.size(); at += piece) {
      if (!stream.Feed(reinterpret_cast<const uint8_t*>(payload.data()) + at,
                       std::min(piece, payload.size() - at))) {
        break;
      }
    }
    return stream.Finish();
  };
  for (size_t piece : {size_t{1}, size_t{5}, size_t{4096}, coded.payload.size()}) {
    SCOPED_TRACE(piece);
    Collected out;
    EXPECT_EQ(streamed(coded.payload, piece, &out), SegmentResult::kDone);
    EXPECT_TRUE(out.bytes == content);
    Collected cut;
    EXPECT_EQ(streamed(coded.payload.substr(0, coded.payload.size() - 1), piece, &cut),
              SegmentResult::kDamaged);
    Collected longer;
    EXPECT_EQ(streamed(coded.payload + "x", piece, &longer), SegmentResult::kDamaged);
  }
  // The first segment's frame size (after the head, the segment's length and stretch
  // count, and its stretches) stated past the most a frame may be.
  const size_t stretchCount = static_cast<uint8_t>(coded.payload[16 + 4]);
  const size_t frameSizeAt = 16 + 6 + stretchCount * 14;
  std::string huge = coded.payload;
  for (int i = 0; i < 4; ++i) huge[frameSizeAt + i] = static_cast<char>(0xFF);
  Collected out;
  EXPECT_EQ(streamed(huge, 4096, &out), SegmentResult::kDamaged);
}

// Files coded in segments by the builder and made again by the applier: one edited,
// grown and shrunk in place, one renamed and made of stretches of two old files. The
// patch is about what is new; with a frame damaged, the applier stops as for any damaged
// patch and the file is not written.
TEST(Segments, FilesInSegmentsRoundTripThroughTheApplier) {
  const std::string big = Bytes(1 << 20, 11, true) + Bytes(1 << 20, 12, false);
  const std::string other = Bytes(512 << 10, 13, false);
  const std::string added = Bytes(20000, 14, false);
  std::string changed = big;
  changed.replace(300000, 6, "EDITED");
  changed.insert(1 << 20, added);
  changed.erase(1900000, 50000);
  const std::string joined = other.substr(100000, 200000) + big.substr(500000, 700000) + added;
  // An archive past the threshold: its members are still made from the old ones.
  const std::string member = Bytes(300 << 10, 15, false);
  std::string edited = member;
  edited.replace(1000, 6, "EDITED");
  test::BuildCase c({{"data/big.pak", big}, {"other.pak", other}, {"small.txt", "small"},
                     {"pack.zt4", test::ArchiveBytes({{"/m.bin", member}})}},
                    {{"data/big.pak", changed}, {"moved.pak", joined}, {"small.txt", "small"},
                     {"pack.zt4", test::ArchiveBytes({{"/m.bin", edited}})}});
  c.SetSegmentedFileBytes(256 << 10);
  c.RoundTrip();
  EXPECT_EQ(c.Summary().segmented, 2);
  EXPECT_LE(c.Summary().patchBytes, 2 * added.size() + 6 + 4096) << c.Summary().patchBytes;

  // A payload cut short: its segments no longer add up, found before the backup.
  test::Members members = test::MembersOf(c.Patch());
  test::Members cut = members;
  for (auto& [name, content] : cut) {
    if (name != "/list" && content.size() > 20000) content.resize(content.size() - 1);
  }
  ASSERT_TRUE(test::WriteFile(c.Patch(), test::ArchiveBytes(cut)));
  const std::string early = c.Work() + "-early";
  ASSERT_EQ(Os().CreateFolder(early.c_str()), FolderResult::kCreated);
  Stop stop = Stop::kNone;
  std::string error;
  EXPECT_FALSE(ApplyPatchToCopy(c.Old(), c.Patch(), early, &stop, &error));
  EXPECT_EQ(stop, Stop::kPatchDamaged) << error;
  EXPECT_EQ(test::ReadTree(early).count("BACKUP_FILES/"), 0u) << "stopped after the backup";

  // A segment's frame damaged in the patch (its member whole, its CRC holding).
  for (auto& [name, content] : members) {
    if (name != "/list" && content.size() > 20000) content[content.size() / 3] ^= 0x21;
  }
  ASSERT_TRUE(test::WriteFile(c.Patch(), test::ArchiveBytes(members)));
  const std::string again = c.Work() + "-again";
  ASSERT_EQ(Os().CreateFolder(again.c_str()), FolderResult::kCreated);
  EXPECT_FALSE(ApplyPatchToCopy(c.Old(), c.Patch(), again, &stop, &error));
  EXPECT_EQ(stop, Stop::kPatchDamaged) << error;
  const test::Tree result = test::ReadTree(again);
  // Both payloads were damaged: the first in the chain stops it, and neither is there.
  EXPECT_EQ(result.count("data/big.pak") + result.count("moved.pak"), 0u);
  EXPECT_EQ(test::FilesOf(test::Below(result, "BACKUP_FILES")).count("data/big.pak"), 1u);
}

// A large file is written a piece at a time, with a dot on the console for every 64 MiB
// between the apply pass's line and its end, as a rebuilt archive shows its members.
TEST(Segments, ALargeFileShowsProgressAsItIsWritten) {
  const std::string big = Bytes((65 << 20) + 5, 21, true);
  std::string changed = big;
  changed.replace(1000, 6, "EDITED");
  test::BuildCase c({{"big.pak", big}}, {{"big.pak", changed}});
  std::string error;
  ASSERT_TRUE(c.Build(&error)) << error;
  ASSERT_EQ(c.Summary().segmented, 1);
  ASSERT_TRUE(test::WriteTree(c.Work(), {{"big.pak", big}}));
  test::ScriptedPlatform console;
  ScopedPlatform scope(&console);
  const auto [verified, updated] = c.UpdateWork();
  EXPECT_EQ(verified, Stop::kNone);
  EXPECT_EQ(updated, Stop::kNone);
  const size_t applying = console.console.find(kConsoleApplying);
  const size_t done = console.console.find(kApplyDoneLine);
  ASSERT_NE(applying, std::string::npos);
  ASSERT_NE(done, std::string::npos);
  const size_t from = applying + sizeof kConsoleApplying - 1;
  EXPECT_EQ(std::count(console.console.begin() + static_cast<ptrdiff_t>(from),
                       console.console.begin() + static_cast<ptrdiff_t>(done), '.'),
            1);
  std::string result;
  ASSERT_TRUE(test::ReadFile(c.Work() + "/big.pak", &result));
  EXPECT_TRUE(result == changed);
}

}  // namespace
}  // namespace zt4::builder
