// Applying the entries: every top-level entry written into the target folder from the
// backup folder's old contents and the patch's payloads.
#pragma once

#include <cstdint>

#include "base/stop.h"
#include "update/patch_list.h"

namespace zt4 {

class Journal;
// Applies every top-level entry. Entries run ahead on every core, within a memory
// allowance, and are taken in chain order: the console shows what one core would, the
// first failure in chain order is the stop, and no entry after it is written. The
// journal (when there is one) has each name on the disk before it is made visible.
Stop ApplyTree(const PatchEntry* first, const char* backupFolder, const char* targetFolder,
               Journal* journal = nullptr);

// The payload "patch/<id>" of an entry, whole; kPatchDamaged when it cannot be had.
Stop LoadPayload(int32_t id, uint8_t** block, int32_t* size);
// The payload's bytes coded and decoded, as the patch's index tells them (0 when it
// names no such payload).
int64_t PayloadMemory(int32_t id);

// What making a member of a rebuilt archive holds at most, as the description tells.
int64_t MemberMemory(const PatchEntry* child);
// The memory tasks on every core may hold together: the largest task's and a share for
// each other core.
int64_t AheadAllowance(int64_t largest);

// Rebuilds a changed file: the old file's first bytes (zero beyond its end) with the
// payload's delta records written over them, a window at a time. A payload whose records
// do not all fit is refused before anything is written.
Stop ApplyDelta(const uint8_t* payload, int32_t payloadSize, const char* oldPath,
                const char* newPath, int32_t newSize);
// Writes the file whole and on the disk itself; its folder exists.
Stop SaveWholeFile(const uint8_t* data, int64_t size, const char* path);

}  // namespace zt4
