// The process-wide objects and their order: the block pools (zero from the start), the
// pool lock, then the tables of the archive layer; torn down in the reverse order at
// exit, whether the run completed or was stopped.
#pragma once

namespace zt4 {

// Creates the pool lock. The pools themselves need no construction.
void StartFoundation();
// Deletes the lock, then gives the 1024-, 256- and 64-byte pools' blocks back.
void EndFoundation();

}  // namespace zt4
