// The contents of compact entries: made in memory from their references (old files and
// members, or new files written before them) and the entry's method, and checked against
// the entry's size and digest before anything is written.
#pragma once

#include <cstdint>

#include "base/stop.h"
#include "update/patch_list.h"

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
// Writes the new content of an entry in segments to `path` a segment at a time, checking
// its digest as it goes (kPatchDamaged when it is not the entry's), and puts it on the
// disk. What it holds does not grow with the content.
Stop WriteSegmentedContent(const PatchEntry* e, const char* backupFolder,
                           const char* targetFolder, const char* path);

}  // namespace zt4
