// The journal of an update: which patch it runs and how far it went, kept on the disk as
// it goes, so that a run cut short (a power cut, a stop after the confirmation) can be
// finished by running the update again, or put back removing only what it wrote.
//
// It lives in the backup folder, where no name of a patch can lead, as "zt4journal" and a
// number that no item of the install takes: the highest such name there is the journal.
// Its header (the digest of the patch's description) is on the disk before the backup's
// first move; then come records, each whole or ignored (a running number and a CRC): the
// backup complete, with the work folder the apply pass writes in, and every name the
// apply pass is about to make visible, on the disk before it does. A torn write at the
// end loses only records that were never acted on. The journal is removed last, once the
// update is complete and on the disk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "update/backup.h"

namespace zt4 {

inline constexpr size_t kPatchDigestSize = 20;

class Journal {
 public:
  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Starts the journal of a backup about to move `items` into the new folder `backup`:
  // written under a name none of them takes, and on the disk with its folder.
  bool Begin(const char* backup, const FolderItem* items, const uint8_t* patchDigest);
  // Reads the journal a run left in `backup`; false when there is none whose header is
  // whole. Notes made after this follow its last whole record.
  bool Read(const char* backup);

  bool IsOf(const uint8_t* patchDigest) const;
  bool BackupComplete() const { return workFolder_[0] != 0; }
  // The work folder's name in the target, once the backup is complete.
  const char* WorkFolder() const { return workFolder_; }
  // Calls visit(name) for every name the apply pass was about to make visible, in order.
  template <typename Visit>
  void ForEachWritten(Visit visit) const {
    for (size_t at = kHeaderSize; at < size_;) {
      const Record record = RecordAt(at);
      if (record.kind == kWritten) visit(record.text);
      at = record.end;
    }
  }

  // The backup is complete and the apply pass writes in `workFolder`: on the disk when
  // this returns true.
  bool NoteBackupComplete(const char* workFolder);
  // A name the apply pass is about to make visible: on the disk with the next Flush.
  bool NoteWritten(const char* name);
  bool Flush();
  // Removes the journal file: the update is complete, or put back.
  bool Remove();
  const char* Name() const { return name_; }

  // The mark, the patch's digest and their CRC-32.
  static constexpr size_t kHeaderSize = 32;

 private:
  static constexpr uint8_t kBackupComplete = 1;
  static constexpr uint8_t kWritten = 2;

  struct Record {
    uint8_t kind = 0;
    const char* text = nullptr;  // NUL-terminated within the journal's bytes
    size_t end = 0;
  };
  // The record at `at` of the bytes held, which are whole records only.
  Record RecordAt(size_t at) const;
  // The size of the whole record at `at`, 0 when there is none.
  size_t WholeRecordAt(size_t at) const;
  bool Append(uint8_t kind, const char* text);
  // Writes what is not on the disk yet into the file opened in `mode`, and flushes it.
  bool WriteOut(int mode);
  bool Reserve(size_t more);

  char path_[kMaxPath] = {};
  char name_[40] = {};
  char workFolder_[40] = {};
  uint8_t* bytes_ = nullptr;  // the journal as it is to be on the disk
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t onDisk_ = 0;  // of which written to the file
  uint32_t records_ = 0;
};

// Whether the backup folder holds nothing, or nothing but the start of a journal whose
// header never reached the disk: what a cut before the backup's first move leaves, or the
// end of a backup that was put back. Nothing of the install is in it.
bool BackupNeverBegun(const char* backup);
// Removes such a folder (and that start of a journal); true when it is gone.
bool RemoveBackupNeverBegun(const char* backup);

// Removes what the journal shows the update wrote into `target` (nothing unless its
// backup was complete): the work folder's files, every file under a name it was about to
// make visible, and the folders of those names once empty. Only folders are entered,
// never a link. False when a file of the update stays.
bool RemoveWrittenItems(const char* target, const Journal& journal);

// Called for an item that stays where it was because an item of its name is where it
// would go (and not both folders), or because it would not move.
using LeftItemSink = void (*)(const char* path, void* user);

// Moves every item of the folder `from` but `skip` (null: none) into the folder `to`:
// where `to` has an item of that name and both are folders, what is in it is joined item
// by item (a folder a move split); a link is moved as itself and never entered. True
// when nothing stayed.
bool MoveItemsInto(const char* from, const char* to, const char* skip, LeftItemSink left,
                   void* user);

}  // namespace zt4
