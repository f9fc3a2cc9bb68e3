#include "update/content_method.h"

#include <cstring>

#include "base/heap.h"
#include "codec/approximate_diff.h"
#include "codec/branch_filter.h"
#include "codec/reference_codec.h"
#include "codec/segment_codec.h"

namespace zt4 {
namespace {

bool Writes(const PatchEntry& e, const RecordPlace& place) {
  return place.member || e.newName[0] != 0;
}

bool WithinBudget(const PatchEntry& e, const RecordPlace& place) {
  return e.newSize >= 0 && ContentHeld(e) <= place.budget;
}

bool AcceptsCopy(const PatchEntry& e, const RecordPlace& place) {
  // A removed entry is copied nowhere and names nothing.
  if (!Writes(e, place)) return e.referenceCount == 0;
  return e.referenceCount == 1 && e.references[0].size == e.newSize &&
         std::strcmp(e.references[0].digest, e.newDigest) == 0;
}

bool AcceptsZstd(const PatchEntry& e, const RecordPlace& place) {
  return Writes(e, place) && WithinBudget(e, place);
}

bool AcceptsDiff(const PatchEntry& e, const RecordPlace& place) {
  return Writes(e, place) && e.referenceCount >= 1 && WithinBudget(e, place);
}

bool AcceptsSegments(const PatchEntry& e, const RecordPlace& place) {
  return Writes(e, place) && WithinBudget(e, place);
}

bool AcceptsFolder(const PatchEntry& e, const RecordPlace& place) {
  return !place.member && Writes(e, place) && e.referenceCount == 0 && e.oldName[0] == 0;
}

bool StatesExactly(int64_t stated, int64_t newSize) { return stated == newSize; }

// The diff's runs and new bytes are the new content, and each of its controls covers
// some of them.
int64_t DiffStreamLimit(int64_t newSize) { return int64_t{2} * newSize + 1024; }

bool StatesDiffStream(int64_t stated, int64_t newSize) {
  return stated >= 0 && stated <= DiffStreamLimit(newSize);
}

Stop DecodeZstd(const uint8_t* frame, size_t frameSize, uint8_t* references, size_t referenceBytes,
                uint8_t* out, size_t outSize) {
  return DecodeWithReference(frame, frameSize, references, referenceBytes, out, outSize)
             ? Stop::kNone
             : Stop::kPatchDamaged;
}

// The sparse form of a diff is at most twice the diff (a byte other than zero with a
// stretch of none before it).
int64_t SparseStreamLimit(int64_t newSize) { return 2 * DiffStreamLimit(newSize); }

bool StatesSparseStream(int64_t stated, int64_t newSize) {
  return stated >= 0 && stated <= SparseStreamLimit(newSize);
}

using ApplyStream = bool (*)(const uint8_t* stream, size_t streamSize, const uint8_t* reference,
                             size_t referenceSize, uint8_t* out, size_t outSize);

// A diff's stream decoded from its frame into a block of its own, then applied.
template <bool (*kStatesFit)(int64_t, int64_t), ApplyStream kApply>
Stop DecodeStream(const uint8_t* frame, size_t frameSize, uint8_t* references,
                  size_t referenceBytes, uint8_t* out, size_t outSize) {
  const int64_t streamSize = ReferenceFrameContentSize(frame, frameSize);
  if (!kStatesFit(streamSize, static_cast<int64_t>(outSize))) return Stop::kPatchDamaged;
  ScopedBlock stream;
  stream.data = AllocBlock(static_cast<size_t>(streamSize));
  if (!stream.data) return Stop::kNoMemory;
  const bool made = DecodeWithReference(frame, frameSize, references, referenceBytes, stream.data,
                                        static_cast<size_t>(streamSize)) &&
                    kApply(stream.data, static_cast<size_t>(streamSize), references, referenceBytes,
                           out, outSize);
  return made ? Stop::kNone : Stop::kPatchDamaged;
}

constexpr auto DecodeDiff = DecodeStream<StatesDiffStream, ApplyApproximateDiff>;
constexpr auto DecodeSparseDiff = DecodeStream<StatesSparseStream, ApplySparseDiff>;

// A program's diff: its content made from the references filtered in place, then
// unfiltered in place.
template <void (*kFilter)(uint8_t*, size_t), void (*kUnfilter)(uint8_t*, size_t),
          Stop (*kDecode)(const uint8_t*, size_t, uint8_t*, size_t, uint8_t*, size_t)>
Stop DecodeProgram(const uint8_t* frame, size_t frameSize, uint8_t* references,
                   size_t referenceBytes, uint8_t* out, size_t outSize) {
  if (references) kFilter(references, referenceBytes);
  const Stop stop = kDecode(frame, frameSize, references, referenceBytes, out, outSize);
  if (stop == Stop::kNone) kUnfilter(out, outSize);
  return stop;
}

constexpr auto DecodeBranches = DecodeProgram<FilterBranches, UnfilterBranches, DecodeDiff>;
constexpr auto DecodeSparseBranches =
    DecodeProgram<FilterAddresses, UnfilterAddresses, DecodeSparseDiff>;

int64_t NothingBeside(int64_t) { return 0; }

constexpr MethodRow kRows[] = {
    {ContentMethod::kCopy, "copy", MethodRow::Making::kCopy, AcceptsCopy, nullptr, nullptr,
     nullptr},
    {ContentMethod::kZstd, "zstd", MethodRow::Making::kFrame, AcceptsZstd, StatesExactly,
     DecodeZstd, NothingBeside},
    {ContentMethod::kFolder, "folder", MethodRow::Making::kFolder, AcceptsFolder, nullptr, nullptr,
     nullptr},
    {ContentMethod::kDiff, "diff", MethodRow::Making::kFrame, AcceptsDiff, StatesDiffStream,
     DecodeDiff, DiffStreamLimit},
    {ContentMethod::kSegments, "segments", MethodRow::Making::kSegments, AcceptsSegments, nullptr,
     nullptr, nullptr},
    {ContentMethod::kBranches, "branches", MethodRow::Making::kFrame, AcceptsDiff, StatesDiffStream,
     DecodeBranches, DiffStreamLimit},
    {ContentMethod::kSparseDiff, "sparse diff", MethodRow::Making::kFrame, AcceptsDiff,
     StatesSparseStream, DecodeSparseDiff, SparseStreamLimit},
    {ContentMethod::kSparseBranches, "sparse branches", MethodRow::Making::kFrame, AcceptsDiff,
     StatesSparseStream, DecodeSparseBranches, SparseStreamLimit},
};

}  // namespace

const MethodRow* FindMethod(ContentMethod method) {
  for (const MethodRow& row : kRows) {
    if (row.method == method) return &row;
  }
  return nullptr;
}

bool MadeBy(const PatchEntry& entry, MethodRow::Making making) {
  const MethodRow* row = FindMethod(entry.method);
  return row && row->making == making;
}

int32_t MethodCount() { return static_cast<int32_t>(sizeof kRows / sizeof kRows[0]); }

const MethodRow& MethodAt(int32_t index) { return kRows[index]; }

int64_t ContentHeld(const PatchEntry& entry) {
  const MethodRow* row = FindMethod(entry.method);
  if (row && row->making == MethodRow::Making::kSegments) return kSegmentDecodeMemory;
  int64_t held = entry.newSize;
  if (row && row->IsFrame()) {
    for (int32_t i = 0; i < entry.referenceCount; ++i) held += entry.references[i].size;
  }
  return held;
}

bool IsOwnOldFile(const char* oldName, const ContentReference& reference) {
  return reference.side == ReferenceSide::kOld && reference.member[0] == 0 &&
         std::strcmp(reference.file, oldName) == 0;
}

}  // namespace zt4
