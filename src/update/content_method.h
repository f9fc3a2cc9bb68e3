// How the new content of a compact entry is made: one row per method. The description's
// reader, the applier, the checks before the backup, patch-info, the builder and the fuzz
// targets all ask the row, so a new method is its codec and one row here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/stop.h"
#include "update/patch_list.h"

namespace zt4 {

// Where a record stands, for the reader's rule.
struct RecordPlace {
  bool member = false;  // a member of an archive group, not a top-level entry
  int64_t budget = 0;   // what one entry of the patch may hold (ContentHeld)
};

struct MethodRow {
  ContentMethod method;
  const char* name;  // as patch-info and the builder's summary name it
  enum class Making {
    kCopy,    // the one reference, as it is
    kFrame,   // the payload decoded against the references (a frame of this row's codec)
    kFolder,  // an empty folder under the new name
    kSegments,  // the payload's segments, each decoded against ranges of the references
  } making;
  // The reader's rule for the rest of the record, its names, sizes and references read
  // (the own old file of a copy already put in as its reference).
  bool (*accepts)(const PatchEntry& entry, const RecordPlace& place);
  // Frames: whether the content size the frame states fits a new content of `newSize`
  // (checked before the backup and before anything is taken for it).
  bool (*statedSizeFits)(int64_t stated, int64_t newSize);
  // Frames: the new content (`out`, exactly the entry's new size) from the frame and the
  // references laid end to end, which are the decoder's to change (nothing reads them
  // after). kPatchDamaged or kNoMemory when it cannot be made.
  Stop (*decode)(const uint8_t* frame, size_t frameSize, uint8_t* references,
                 size_t referenceBytes, uint8_t* out, size_t outSize);
  // Frames: what decoding holds beside the payload, the references and the content.
  int64_t (*decodeMemory)(int64_t newSize);

  bool IsFrame() const { return making == Making::kFrame; }
};

// The row of a method, or null for a value no method has (and for kNone).
const MethodRow* FindMethod(ContentMethod method);
// Every row, in the order of the table.
int32_t MethodCount();
const MethodRow& MethodAt(int32_t index);

// True when the entry's content is made that way (false for an entry of the first form).
bool MadeBy(const PatchEntry& entry, MethodRow::Making making);

// What making an entry's content holds, the measure of the patch's budget: the new
// content and, for a frame, the contents it is coded against; for segments, one segment
// and its ranges, whatever the content's size.
int64_t ContentHeld(const PatchEntry& entry);

// True when the reference is the entry's own old file, which the entry's verification
// covers and a copy names without writing it.
bool IsOwnOldFile(const char* oldName, const ContentReference& reference);

}  // namespace zt4
