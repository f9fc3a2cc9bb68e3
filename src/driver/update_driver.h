// The applier's run: console, patch description, folder choice, verification,
// confirmation, backup, apply, final check, completion; or, on a folder where an update
// of this patch was cut short, the offer to finish it and the rest of that update.
// Returns 0 after a complete run; every failure ends the process through FatalStop (also
// with status 0).
#pragma once

namespace zt4 {

inline constexpr char PatchArchive[] = "patch.zt4";

int UpdateDriver();

}  // namespace zt4
