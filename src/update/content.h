// The contents of compact entries: made in memory from their references (old files and
// members, or new files written before them) and the entry's method, and checked against
// the entry's size and digest before anything is written.
#pragma once

#include <cstdint>

#include "base/stop.h"
#include "update/patch_list.h"
#include "update/progress.h"

namespace zt4 {

// Reads a reference's content (exactly its size) into `into`: an old one from the backup
// folder, a new one from the target folder.
// `earlier`: the contents of the earlier members of the group being rebuilt, by place.
Stop LoadReference(const ContentReference& reference, const char* backupFolder,
                   const char* targetFolder, uint8_t* into,
                   const uint8_t* const* earlier = nullptr);
// The new content of a compact entry, made in memory; a content without the entry's
// size and digest is never handed over. The caller frees *block.
Stop MakeContent(const PatchEntry* e, const char* backupFolder, const char* targetFolder,
                 uint8_t** block, const uint8_t* const* earlier = nullptr);
// Whether the payload of an entry in segments is one that makes its new content from its
// references' sizes, read a piece at a time without decoding a frame; *readable is false
// when the payload cannot be read whole out of the patch.
bool SegmentPayloadFits(const PatchEntry* e, bool* readable);
// Whether the entry's new content is written to its file as it is made: a content in
// segments, or a copy of a plain file.
bool StreamsToFile(const PatchEntry& e);
// Writes such a content to `path` a piece at a time, checking its digest as it goes
// (kPatchDamaged for segments that do not make the entry's content, kVersionMismatch for
// a copied file that is not), and puts it on the disk. What it holds does not grow with
// the content.
// A dot (as a rebuilt archive's members show) for every kStreamDotBytes written.
Stop WriteStreamedContent(const PatchEntry* e, const char* backupFolder,
                          const char* targetFolder, const char* path,
                          MemberDots* dots = nullptr);
inline constexpr int64_t kStreamDotBytes = int64_t{64} << 20;
// What writing a streamed content holds beside its payload.
inline constexpr int64_t kCopyPiece = int64_t{1} << 20;

}  // namespace zt4
