// The phases of an update once the target folder is known, shared by the applier and by
// the builder's proof of a patch on a copy. Each phase writes its status line and its
// progress to the console and hands back the stop it met.
#pragma once

#include <cstdint>

#include "base/pool_string.h"
#include "base/stop.h"
#include "update/patch_list.h"

namespace zt4 {

// The name the patch archive is mounted under: its description is "patch/list", the
// payload of an entry "patch/<id>".
inline constexpr char kPatchMountName[] = "patch";

// Mounts the patch archive and parses its description. Null when either fails (the
// patch is damaged); otherwise the tree, pointing into *description, and the SHA-1 of
// the description, which names the patch in an update's journal. Both belong to the
// caller, and the patch stays mounted until Unmount.
PatchEntry* LoadPatch(const PoolString& patchPath, uint8_t** description, uint8_t digest[20]);

enum class Phase { kVerify, kBackup, kApply, kCheck };

// A status line of the run: the text, then a line end.
void ConsoleLine(const char* text);

// The checks before the backup (update/preflight.h), stopping at the first that stops
// the run: the backup folder's path and an earlier backup, every old file against the
// description (the archives read for it are let go after), then what the later passes
// can be known to need: every path they form fits, every payload they read is whole and
// fits its entry, and the new files fit on the volume. Nothing is moved or written.
Stop VerifyTarget(const PatchEntry* tree, const char* target, const char* backup);

// After the confirmation: the backup (put back when it fails: kAborted), the apply pass
// and the final check, with the journal of the patch of `digest` kept in the backup
// folder until the update is complete. *phase tells where a stop came from.
Stop UpdateTarget(const PatchEntry* tree, const uint8_t* digest, const char* target,
                  const char* backup, Phase* phase);

class Journal;
// Finishes an update that a journal in the backup folder shows cut short, once the user
// has said so: the install is brought to where a complete backup leaves it (what was
// left of the backup moved, joining a folder a move split, or what the journal shows the
// update wrote removed; kAborted when that fails), the old files are verified in the
// backup folder, and the update applied and checked as UpdateTarget does.
Stop ResumeTarget(const PatchEntry* tree, const char* target, const char* backup,
                  Journal* journal, Phase* phase);

}  // namespace zt4
