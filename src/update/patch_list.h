// The update description: its byte format read into a tree of PatchEntry records.
//
// The description is a plain run of records (no header, no count): a plain record is
// id, old name, old size, old digest, new name, new size, new digest (int32 little-endian,
// texts zero-terminated); a group record is -1, "@ZT4_COPY", the archive's new name, size
// and digest, member records laid out as plain records, then -1 and "@END".
//
// A compact description (update/compact_format.h) holds records of the same shape in one
// zstd frame, each followed by how its new content is made and from what.
//
// Texts of the tree point into the description's bytes, which must outlive the tree; a
// compact tree holds its decoded records itself.
#pragma once

#include <cstdint>

#include "update/compact_format.h"

namespace zt4 {

// The marks of the format: a group record begins with the id kGroupMark and the marker
// kGroupMarker, and its members end with kGroupMark and kEndMarker.
inline constexpr int32_t kGroupMark = -1;
inline constexpr char kGroupMarker[] = "@ZT4_COPY";
inline constexpr char kEndMarker[] = "@END";

// The folder inside the target that the update moves the old install into. No new name
// may lead into it.
inline constexpr char kBackupFolderName[] = "BACKUP_FILES";

// The most a description may ask of the applier, whatever budget it states for its
// entries: the description's bytes (with, for a compact one, its frame and the records
// decoded from it, which are held together), its records (members counted) and the
// contents they are made from. The largest installs have a few hundred thousand files of
// a few hundred bytes of description each; these leave room for three times that, and
// keep the tree, its checks and its console lines within a few hundred MiB.
inline constexpr int32_t kMostDescriptionBytes = 256 << 20;
inline constexpr int32_t kMostRecords = 1 << 20;
inline constexpr int32_t kMostReferences = 1 << 21;

// Every empty text of an entry points here, so "empty" is always "first byte zero" and
// never a null pointer.
inline constexpr char kEmptyEntryText[] = "";

// A content an entry is made from: a file, or with a member name a member of that
// archive file, with its size and digest. Old contents are verified with the old files.
struct ContentReference {
  ReferenceSide side = ReferenceSide::kOld;
  const char* file = kEmptyEntryText;
  const char* member = kEmptyEntryText;
  int64_t size = 0;
  const char* digest = kEmptyEntryText;
  int32_t earlier = -1;  // an earlier member of the same group: its place among the members
};

// Contents stated in a digest run (compact_format.h). The run holds its entries' digest
// texts: each begins as the content's tag, and verification writes the whole digest found
// there once the run's digest has confirmed every content of the run.
struct DigestRun {
  uint8_t digest[20] = {};
  int32_t count = 0;
  char (*digests)[41] = nullptr;
};

struct PatchEntry {
  int32_t id = 0;  // payload "patch/%d"; -1 for a group
  const char* oldName = kEmptyEntryText;
  int64_t oldSize = 0;
  const char* oldDigest = kEmptyEntryText;
  const char* newName = kEmptyEntryText;
  int64_t newSize = 0;
  const char* newDigest = kEmptyEntryText;
  PatchEntry* next = nullptr;
  PatchEntry* firstChild = nullptr;  // members of a group, in the description's order
  // Compact patches only.
  ContentMethod method = ContentMethod::kNone;
  ContentReference* references = nullptr;  // owned by the entry
  int32_t referenceCount = 0;
  uint8_t* records = nullptr;  // the head of a compact tree owns the decoded records
  int64_t budget = 0;          // the head of a compact tree: the patch's memory budget
  int32_t lastUse = -1;        // a member: the last later member made from it, if any
  DigestRun* run = nullptr;    // an unchanged content stated in a run, at `runPlace`
  int32_t runPlace = 0;
  uint8_t* runBlock = nullptr;  // the first entry of a run owns its run, names and digests
};

enum class EntryKind { KindNone = 0, KindRemoved = 1, KindChanged = 2, KindAdded = 3, KindGroup = 4 };

EntryKind KindOf(const PatchEntry* entry);

enum class PatchFormats { kStrictOnly, kStrictAndCompact };

// The top-level chain (last record of the description first), or null when the
// description is refused: empty, cut short, badly marked, a top-level record without
// names, an unsafe name, beyond one of the kMost limits, or no memory for an entry; for a
// compact one also a frame that does not decode, a reference beyond the budget or a
// method its entry cannot have.
// Never reads outside [bytes, count).
PatchEntry* ParsePatchList(const uint8_t* bytes, int32_t count,
                           PatchFormats formats = PatchFormats::kStrictAndCompact);

// True for the head of a tree read from a compact description.
inline bool IsCompact(const PatchEntry* head) { return head && head->records != nullptr; }

// The entry and every entry after it along `next`; members are not counted. 0 for null.
int32_t CountEntries(const PatchEntry* entry);

// The entry's line, and a group's members between two rulers, on the debug channel.
void DumpEntry(const PatchEntry* entry);

// Frees a whole chain with its members. The applier keeps its tree until exit; tests and
// tools give theirs back.
void FreePatchList(PatchEntry* head);

// True when `name` (Shift-JIS, '/' or '\' separated) stays inside the folder it is joined
// to: not absolute (no leading separator, no ':' anywhere, hence no drive or UNC form) and
// no ".." component (nor one Windows would trim to "..", such as ".. "). A name that
// becomes a file (not `memberName`) also has no component naming a Windows device (CON,
// PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, with any extension) and no byte 0xFF,
// which the OS edge would read as a character Shift-JIS lacks. A member name
// (`memberName`) never reaches the disk: it may begin with a separator, hold ':', a device
// name or 0xFF; only its climbing components are refused. An empty name is safe.
bool IsSafeRelativeName(const char* name, bool memberName);

// True when the first component of `name` that is not "." names the update's backup
// folder of the target as Windows finds it: kBackupFolderName in any case, with trailing
// dots or blanks, or one of the 8.3 names Windows generates for it. The applier refuses
// a new name so placed; the patch builder refuses such an item in a new install.
bool LeadsIntoBackupFolder(const char* name);

}  // namespace zt4
