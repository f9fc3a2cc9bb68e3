#include <cstdio>
#include <cstring>
#include <new>

#include "update/backup.h"
#include "update/journal.h"
#include "update/paths.h"

namespace zt4 {
namespace {

struct Listing {
  FolderItem* items = nullptr;
  bool failed = false;
};

void CollectItem(const char* name, ItemKind kind, void* user) {
  auto* listing = static_cast<Listing*>(user);
  if (kind == ItemKind::kFolder && (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)) {
    return;
  }
  auto* item = new (std::nothrow) FolderItem;
  size_t length = std::strlen(name);
  if (!item || length >= sizeof item->name) {
    delete item;
    listing->failed = true;  // an item left out would be left behind
    return;
  }
  std::memcpy(item->name, name, length + 1);
  item->kind = kind;
  item->next = listing->items;
  listing->items = item;
}

}  // namespace

bool ListFolderItems(const char* folder, FolderItem** items) {
  Listing listing;
  if (!Os().ForEachFolderItem(folder, CollectItem, &listing) || listing.failed) {
    FreeFolderItems(listing.items);
    *items = nullptr;
    return false;
  }
  *items = listing.items;
  return true;
}

bool JoinBackslash(char* out, const char* folder, const char* name) {
  return JoinPathWith(out, folder, '\\', name);
}

FolderItem* ListFolder(const char* folder) {
  FolderItem* items = nullptr;
  ListFolderItems(folder, &items);
  return items;
}

void FreeFolderItems(FolderItem* items) {
  while (items) {
    FolderItem* next = items->next;
    delete items;
    items = next;
  }
}

bool MakeDirTree(const char* path) { return Os().CreateFolderTree(path) == FolderResult::kCreated; }

namespace {
void IgnoreItem(const char* /*name*/, ItemKind /*kind*/, void* /*user*/) {}
}  // namespace

bool FolderExists(const char* path) { return Os().ForEachFolderItem(path, IgnoreItem, nullptr); }

bool ItemExists(const char* path) {
  if (FolderExists(path)) return true;
  FileHandle file = Os().OpenFile(path, kOpenRead);
  if (file == kNoFile) return false;
  Os().CloseFile(file);
  return true;
}

bool BackupFolder(const char* target, const char* backup, BackupRecord* record, Journal* journal,
                  const uint8_t* patchDigest) {
  *record = BackupRecord{};
  // What a cut left before an earlier backup's first move goes first.
  if (ItemExists(backup) && !RemoveBackupNeverBegun(backup)) return false;
  FolderItem* items = ListFolder(target);
  if (!items) return false;
  // Every path must fit before the first move, so a long name cannot stop it halfway.
  char from[kMaxPath];
  char to[kMaxPath];
  for (FolderItem* item = items; item; item = item->next) {
    if (!JoinBackslash(from, target, item->name) || !JoinBackslash(to, backup, item->name)) {
      FreeFolderItems(items);
      return false;
    }
  }
  if (!MakeDirTree(backup)) {
    FreeFolderItems(items);
    return false;
  }
  record->createdFolder = true;
  if (!journal->Begin(backup, items, patchDigest)) {
    FreeFolderItems(items);
    return false;
  }
  FolderItem** movedTail = &record->moved;
  bool ok = true;
  while (items && ok) {
    FolderItem* item = items;
    JoinBackslash(from, target, item->name);
    JoinBackslash(to, backup, item->name);
    ok = Os().MoveItem(from, to);
    // A move that failed may still have taken the item, or part of a folder: what reached
    // the backup is recorded, so that the undo brings it back.
    if (!ok && !ItemExists(to)) break;
    items = item->next;
    item->next = nullptr;
    *movedTail = item;
    movedTail = &item->next;
  }
  FreeFolderItems(items);
  return ok;
}

bool MoveBack(const char* from, const char* to) {
  if (!ItemExists(to)) {
    return Os().MoveItem(from, to) || !ItemExists(from);  // gone: nothing of it had moved
  }
  // Never moved onto what is there (a shell move would put it inside): joined instead.
  FolderItem* items = ListFolder(from);
  if (!items) return Os().RemoveFolder(from);  // an empty folder joins by going; a file stays
  bool ok = true;
  for (const FolderItem* item = items; item; item = item->next) {
    char innerFrom[kMaxPath];
    char innerTo[kMaxPath];
    ok = JoinBackslash(innerFrom, from, item->name) && JoinBackslash(innerTo, to, item->name) &&
         MoveBack(innerFrom, innerTo) && ok;
  }
  FreeFolderItems(items);
  return ok && Os().RemoveFolder(from);
}

bool UndoBackup(const char* target, const char* backup, BackupRecord* record, Journal* journal) {
  // Last moved first: the reverse of the backup's own order.
  int count = 0;
  for (const FolderItem* item = record->moved; item; item = item->next) ++count;
  bool ok = true;
  for (int i = count - 1; i >= 0; --i) {
    const FolderItem* item = record->moved;
    for (int k = 0; k < i; ++k) item = item->next;
    char from[kMaxPath];
    char to[kMaxPath];
    if (!JoinBackslash(from, backup, item->name) || !JoinBackslash(to, target, item->name) ||
        !MoveBack(from, to)) {
      ok = false;
    }
  }
  // The journal goes last of all: until then a cut leaves it to tell what happened.
  if (ok && record->createdFolder) ok = journal->Remove() && Os().RemoveFolder(backup);
  FreeFolderItems(record->moved);
  *record = BackupRecord{};
  return ok;
}

}  // namespace zt4
