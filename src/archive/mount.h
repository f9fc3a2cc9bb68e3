// The process-wide registries that own the archives opened for reading:
// - MountTable: mount name -> archive; "patch/list" is served by the archive mounted as
//   "patch" (LoadWholeFile asks it first, through the seam in base/stream.h);
// - ArchiveCache: the archives opened to read old members, kept until released;
// - MessageListeners: receivers of the text of a failed mount (none are registered by
//   the applier).
#pragma once

#include "archive/archive.h"
#include "base/name_table.h"
#include "base/pool_string.h"

namespace zt4 {

// A mount table payload: the archive and whether this holder destroys it. Assignment
// moves ownership from the source to the target.
struct OwnedArchive {
  Archive* archive = nullptr;
  bool owned = false;

  OwnedArchive() = default;
  OwnedArchive(Archive* a, bool o) : archive(a), owned(o) {}
  OwnedArchive(const OwnedArchive&) = delete;
  OwnedArchive& operator=(OwnedArchive& source);
  ~OwnedArchive();
};

using MountTable = NameTable<OwnedArchive>;

class MessageListener {
 public:
  virtual void OnMessage(const char* text) = 0;
  virtual ~MessageListener() = default;
};

// Opens the archive file `path` and enters it under `name`, replacing (and destroying)
// an archive mounted there before.
bool Mount(const PoolString& path, const PoolString& name);
// The archive mounted under `name`, or null.
Archive* MountedArchive(const PoolString& name);
// Closes and removes the archive mounted under `name`, so its file is free again.
void Unmount(const PoolString& name);

// Why OpenCached found no archive.
enum class CacheMiss { kNoMemory, kNoFile, kNotArchive };

// Opens the archive file and keeps it in the cache until ReleaseArchiveCache; a path
// already open in the cache gets the same archive back. Null with *miss set when it
// cannot be had.
Archive* OpenCached(const char* path, CacheMiss* miss);
void ReleaseArchiveCache();
int ArchiveCacheSize();

void NotifyListeners(const char* text);
// Adds a listener at the end of the list; with `owned` the list destroys it at exit.
bool AddMessageListener(const PoolString& name, MessageListener* listener, bool owned);

// Constructs the mount table and the listener list (after the pool lock), and tears them
// down in the reverse order: the listener list first, then the mount table.
void StartArchiveRegistries();
void EndArchiveRegistries();

}  // namespace zt4
