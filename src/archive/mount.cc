#include "archive/mount.h"

#include <initializer_list>
#include <mutex>
#include <new>

#include "base/stream.h"
#include "base/texts.h"

namespace zt4 {
namespace {

struct ListenerEntry {
  PoolString name;
  MessageListener* listener = nullptr;
  bool owned = false;
  ListenerEntry* next = nullptr;
};

struct ListenerList {
  ListenerEntry* first = nullptr;
  ListenerEntry* freeEntries = nullptr;

  ~ListenerList() {
    for (ListenerEntry* chain : {first, freeEntries}) {
      while (chain) {
        ListenerEntry* next = chain->next;
        if (chain->owned) delete chain->listener;
        delete chain;
        chain = next;
      }
    }
  }
};

struct CacheNode {
  Archive* archive;
  PoolString path;
  CacheNode* next;
};

// Constructed in place at start and destroyed explicitly at exit, in a fixed order.
alignas(MountTable) unsigned char gMountStorage[sizeof(MountTable)];
alignas(ListenerList) unsigned char gListenerStorage[sizeof(ListenerList)];
MountTable* gMountTable = nullptr;
ListenerList* gListeners = nullptr;
CacheNode* gCache = nullptr;
std::mutex gCacheLock;

MountedResult LookUpMounted(const PoolString& mountName, const PoolString& member,
                            uint8_t** outBlock, int32_t* outSize) {
  Archive* archive = MountedArchive(mountName);
  if (!archive) return MountedResult::kNotMounted;
  return archive->Extract(member, outBlock, outSize) ? MountedResult::kLoaded
                                                     : MountedResult::kFailed;
}

}  // namespace

OwnedArchive& OwnedArchive::operator=(OwnedArchive& source) {
  if (this == &source) return *this;
  if (archive != source.archive) {
    if (owned) delete archive;
    owned = source.owned;
  } else if (source.owned) {
    owned = true;
  }
  archive = source.archive;
  source.owned = false;
  return *this;
}

OwnedArchive::~OwnedArchive() {
  if (owned && archive) delete archive;
  archive = nullptr;
}

bool Mount(const PoolString& path, const PoolString& name) {
  Archive* archive = new (std::nothrow) Archive;
  if (archive && archive->Open(path) && gMountTable) {
    OwnedArchive holder(archive, true);
    auto* node = gMountTable->FindOrInsert(name);
    if (node) {
      node->payload = holder;
      return true;
    }
    // The holder still owns the archive and destroys it once.
    archive = nullptr;
  }
  delete archive;
  NotifyListeners(PoolString::Formatted(kMountFailedFormat, path.Text()).Text());
  return false;
}

Archive* MountedArchive(const PoolString& name) {
  if (!gMountTable) return nullptr;
  auto* node = gMountTable->Find(name);
  return node ? node->payload.archive : nullptr;
}

void Unmount(const PoolString& name) {
  if (!gMountTable) return;
  auto* node = gMountTable->Find(name);
  if (!node) return;
  OwnedArchive nothing;
  node->payload = nothing;  // the holder destroys the archive it owned
}

Archive* OpenCached(const char* path, CacheMiss* miss) {
  // One open archive per path: verifying N members of an archive reads its index once,
  // not N times. Callers only extract, which never changes an archive. The checks of
  // several threads ask at once: the first opens it, the others wait for it.
  std::lock_guard<std::mutex> lock(gCacheLock);
  for (CacheNode* node = gCache; node; node = node->next) {
    if (node->path == path) return node->archive;
  }
  auto* file = new (std::nothrow) FileStream;
  auto* archive = new (std::nothrow) Archive;
  auto* node = new (std::nothrow) CacheNode{archive, PoolString(path), gCache};
  if (!file || !archive || !node) {
    *miss = CacheMiss::kNoMemory;
  } else if (!file->Open(PoolString(path), ReadMode)) {
    *miss = CacheMiss::kNoFile;
  } else if (archive->Open(file)) {
    gCache = node;
    return archive;
  } else {
    file = nullptr;  // the archive deleted the stream it refused
    *miss = CacheMiss::kNotArchive;
  }
  delete file;
  delete archive;
  delete node;
  return nullptr;
}

void ReleaseArchiveCache() {
  std::lock_guard<std::mutex> lock(gCacheLock);
  while (gCache) {
    CacheNode* next = gCache->next;
    delete gCache->archive;
    delete gCache;
    gCache = next;
  }
}

int ArchiveCacheSize() {
  std::lock_guard<std::mutex> lock(gCacheLock);
  int n = 0;
  for (CacheNode* node = gCache; node; node = node->next) ++n;
  return n;
}

void NotifyListeners(const char* text) {
  if (!gListeners) return;
  for (ListenerEntry* entry = gListeners->first; entry; entry = entry->next) {
    entry->listener->OnMessage(text);
  }
}

bool AddMessageListener(const PoolString& name, MessageListener* listener, bool owned) {
  if (!gListeners) return false;
  ListenerEntry* entry = gListeners->freeEntries;
  if (entry) {
    gListeners->freeEntries = entry->next;
  } else {
    entry = new (std::nothrow) ListenerEntry;
    if (!entry) return false;
  }
  entry->name.Assign(name);
  entry->listener = listener;
  entry->owned = owned;
  entry->next = nullptr;
  ListenerEntry** last = &gListeners->first;
  while (*last) last = &(*last)->next;
  *last = entry;
  return true;
}

void StartArchiveRegistries() {
  gMountTable = new (gMountStorage) MountTable;
  gListeners = new (gListenerStorage) ListenerList;
  SetMountedLookup(LookUpMounted);
}

void EndArchiveRegistries() {
  SetMountedLookup(nullptr);
  if (gListeners) gListeners->~ListenerList();
  gListeners = nullptr;
  if (gMountTable) gMountTable->~MountTable();
  gMountTable = nullptr;
}

}  // namespace zt4
