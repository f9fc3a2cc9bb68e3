// A platform that makes one chosen disk operation fail, once, and otherwise behaves as
// the scripted user of the driver tests. Operations are numbered in the order the run
// makes them, so a run that counts them (no fault chosen) tells which number to give
// each operation of a later, faulty run of the same update. With checks on several
// threads that order is not fixed: a fault is then chosen by its key, the operation,
// its path and how many such operations on that path came before; every call is made
// under one lock. The counting run also notes
// where each operation happened and on what, so that the stop a fault must lead to can
// be told from rules.
#pragma once

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/texts.h"
#include "driver/update_driver.h"
#include "update/patch_list.h"
#include "support/scripted_platform.h"

namespace zt4::test {

enum class Op {
  kOpen,
  kRead,
  kWrite,
  kSeek,
  kSize,
  kDelete,
  kList,
  kCreateFolder,
  kCreateFolderTree,
  kMove,
  kReplace,  // a file renamed over its new path
  kRemoveFolder,
  kProgramPath,
  kBox,    // the confirmation box: a box that cannot be shown answers 0
  kFlush,  // a file's or a folder's changes put on the disk
  kCount
};

// How the chosen operation fails: kFail gives the operation's failure result without
// doing anything; kShort does part of a read or a write (half the bytes) and reports it,
// or does a move in part (a file whole, a folder's first item) and reports a failure, as
// the shell's move can.
enum class Flavour { kFail, kShort, kCount };

inline const char* OpName(Op op) {
  static const char* const kNames[] = {"open",        "read",   "write",         "seek",
                                       "size",        "delete", "list",          "create folder",
                                       "folder tree", "move",   "replace",       "remove folder",
                                       "program path", "box",   "flush"};
  return kNames[static_cast<int>(op)];
}

inline const char* FlavourName(Op op, Flavour flavour) {
  if (flavour == Flavour::kShort) return op == Op::kMove ? "moved in part" : "short";
  return op == Op::kRead ? "none" : "fail";
}

// The flavours that mean something for an operation.
inline std::vector<Flavour> FlavoursOf(Op op) {
  if (op == Op::kRead) return {Flavour::kFail, Flavour::kShort};
  if (op == Op::kWrite) return {Flavour::kShort};
  if (op == Op::kMove) return {Flavour::kFail, Flavour::kShort};
  return {Flavour::kFail};
}

// The stretch of the run an operation falls in: the status line written last.
enum class Phase {
  kStart,
  kCheckingPatch,
  kCheckingTarget,
  kMakingBackup,
  kApplying,
  kCheckingResult,
  kCount
};

inline const char* PhaseName(Phase phase) {
  static const char* const kNames[] = {
      "at the start",      "checking the patch", "checking the target",
      "making the backup", "applying",           "checking the result"};
  return kNames[static_cast<int>(phase)];
}

// The file whose content an operation reaches, told by its path. The install holds the
// old version until the backup has moved it into BACKUP_FILES, and the new one after.
enum class Target {
  kNone,        // no file's content: the program's path, a listing, a folder, a move
  kPatch,       // the patch archive beside the program
  kOldFile,     // a plain file (or a path that addresses an archive member) of the old version
  kOldArchive,  // an archive of the old version
  kNewFile,     // a plain file of the new version
  kNewArchive,  // an archive of the new version
  kJournal,     // the update's journal in BACKUP_FILES
  kOther,
  kCount
};

inline const char* TargetName(Target target) {
  static const char* const kNames[] = {"no file",       "the patch",     "an old file",
                                       "an old archive", "a new file",   "a new archive",
                                       "the journal",    "another file"};
  return kNames[static_cast<int>(target)];
}

// One counted operation of a run, as the platform saw it.
struct OpRecord {
  Op op = Op::kCount;
  Phase phase = Phase::kStart;
  Target target = Target::kNone;
  bool reading = false;     // on a file opened to read (an open: one that asks to read)
  int step = 0;             // on an open file: its operations so far, this one included
  bool tell = false;        // a seek that only asks the position
  bool sameAnyway = false;  // the call gives the fault's result anyway
  std::string path;         // below the case folder; empty without a path
};

// An operation by what it is: its kind, its path below the case folder, and its place
// (1-based) among the operations of that kind on that path.
struct FaultKey {
  Op op = Op::kCount;
  std::string path;
  int occurrence = 0;
};

// The key of each operation of a counted run.
inline std::vector<FaultKey> KeysOf(const std::vector<OpRecord>& operations) {
  std::map<std::pair<int, std::string>, int> seen;
  std::vector<FaultKey> keys;
  for (const OpRecord& r : operations) {
    keys.push_back({r.op, r.path, ++seen[{static_cast<int>(r.op), r.path}]});
  }
  return keys;
}

class FaultyPlatform : public ScriptedPlatform {
 public:
  // 1-based number of the operation to fail; 0 fails none (a counting run).
  int faultAt = 0;
  // Or the operation to fail by its key (when its occurrence is not 0).
  FaultKey faultKey;
  // The threads the run's checks use (1: none besides the run's own).
  int threads = 1;
  Flavour flavour = Flavour::kFail;
  // A second operation to fail (kFail), later in the same run; 0: none.
  int secondFaultAt = 0;
  // What the run did: every operation in order, whether the fault was made, whether the
  // backup completed (the driver goes on to apply only then).
  std::vector<OpRecord> operations;
  bool fired = false;
  bool backedUp = false;
  Op firedOp = Op::kCount;
  // When set, each box's text is appended (hex, with the run's state) to this file, so a
  // parent process can read how its child ended.
  std::string outcomeFile;
  // A power cut: 1-based number of the operation it comes before, kCutAfterCompletion for
  // right after the completion box; 0: none. What was written to a file since its last
  // flush is lost (a file never flushed is left empty); folder changes stay, in order.
  // The run then ends at once, its last box "cut".
  static constexpr int kCutAfterCompletion = -1;
  int cutAt = 0;

  FileHandle OpenFile(const char* path, int mode) override {
    Guard guard(lock_);
    size_t at = Note(Op::kOpen, path);
    operations[at].reading = mode == kOpenRead;
    if (Fault()) return kNoFile;
    // Opened to append, a file holds what an earlier run left on the disk.
    const bool earlier = mode == kOpenAppend && durable_.count(path) == 0;
    const std::string before = earlier ? ContentOf(path) : std::string();
    FileHandle file = ScriptedPlatform::OpenFile(path, mode);
    if (file == kNoFile) {
      operations[at].sameAnyway = true;
    } else {
      files_[file] = operations[at];
      if (mode == kOpenCreate) {
        writing_[file] = path;
        durable_[path] = std::string();  // created: on the disk with nothing in it yet
        written_[path] = std::string();
        unflushed_.insert(path);
      } else if (mode == kOpenAppend) {
        writing_[file] = path;
        if (earlier) durable_[path] = written_[path] = before;
      }
    }
    return file;
  }
  bool FlushFile(FileHandle file) override {
    Guard guard(lock_);
    size_t at = NoteOnFile(Op::kFlush, file);
    if (Fault()) return false;
    if (!Checked(at, ScriptedPlatform::FlushFile(file))) return false;
    auto path = writing_.find(file);
    if (path != writing_.end()) {
      durable_[path->second] = written_[path->second];
      unflushed_.erase(path->second);
    }
    return true;
  }
  bool FlushFolder(const char* path) override {
    Guard guard(lock_);
    size_t at = Note(Op::kFlush, path);
    if (Fault()) return false;
    return Checked(at, ScriptedPlatform::FlushFolder(path));
  }
  void CloseFile(FileHandle file) override {
    Guard guard(lock_);
    files_.erase(file);
    writing_.erase(file);
    ScriptedPlatform::CloseFile(file);
  }
  int32_t ReadFile(FileHandle file, void* buffer, int32_t count) override {
    Guard guard(lock_);
    // Failed or cut short, a read of nothing still reads nothing.
    operations[NoteOnFile(Op::kRead, file)].sameAnyway = count == 0;
    if (Fault()) {
      if (flavour == Flavour::kFail || count <= 1) return 0;
      return ScriptedPlatform::ReadFile(file, buffer, count / 2);
    }
    return ScriptedPlatform::ReadFile(file, buffer, count);
  }
  bool WriteFile(FileHandle file, const void* data, int32_t count) override {
    Guard guard(lock_);
    size_t at = NoteOnFile(Op::kWrite, file);
    if (auto path = writing_.find(file); path != writing_.end() && count > 0) {
      // What the file holds as far as this run wrote it, kept beside the file itself.
      std::string& shadow = written_[path->second];
      size_t position = static_cast<size_t>(ScriptedPlatform::SeekFile(file, 0, 1));
      if (shadow.size() < position + static_cast<size_t>(count)) {
        shadow.resize(position + static_cast<size_t>(count));
      }
      shadow.replace(position, static_cast<size_t>(count), static_cast<const char*>(data),
                     static_cast<size_t>(count));
      unflushed_.insert(path->second);
    }
    if (Fault()) {
      if (flavour == Flavour::kShort && count > 1)
        ScriptedPlatform::WriteFile(file, data, count / 2);
      return false;
    }
    return Checked(at, ScriptedPlatform::WriteFile(file, data, count));
  }
  int64_t SeekFile(FileHandle file, int64_t offset, int origin) override {
    Guard guard(lock_);
    size_t at = NoteOnFile(Op::kSeek, file);
    operations[at].tell = offset == 0 && origin == 1;
    if (Fault()) return -1;
    int64_t position = ScriptedPlatform::SeekFile(file, offset, origin);
    Checked(at, position >= 0);
    return position;
  }
  int64_t FileSize(FileHandle file) override {
    Guard guard(lock_);
    size_t at = NoteOnFile(Op::kSize, file);
    if (Fault()) return -1;
    int64_t size = ScriptedPlatform::FileSize(file);
    Checked(at, size >= 0);
    return size;
  }
  bool DeleteFile(const char* path) override {
    Guard guard(lock_);
    size_t at = Note(Op::kDelete, path);
    if (Fault()) return false;
    return Checked(at, ScriptedPlatform::DeleteFile(path));
  }
  bool ForEachFolderItem(const char* folder, FolderItemSink sink, void* user) override {
    Guard guard(lock_);
    size_t at = Note(Op::kList, folder);
    if (Fault()) return false;
    return Checked(at, ScriptedPlatform::ForEachFolderItem(folder, sink, user));
  }
  FolderResult CreateFolder(const char* path) override {
    Guard guard(lock_);
    return Creation(Op::kCreateFolder, path, [&] { return ScriptedPlatform::CreateFolder(path); });
  }
  FolderResult CreateFolderTree(const char* path) override {
    Guard guard(lock_);
    return Creation(Op::kCreateFolderTree, path,
                    [&] { return ScriptedPlatform::CreateFolderTree(path); });
  }
  bool MoveItem(const char* from, const char* to) override {
    Guard guard(lock_);
    size_t at = Note(Op::kMove, from);
    if (Fault()) {
      if (flavour == Flavour::kShort) MovePart(from, to);
      return false;
    }
    return Checked(at, ScriptedPlatform::MoveItem(from, to));
  }
  bool ReplaceFile(const char* from, const char* to) override {
    Guard guard(lock_);
    size_t at = Note(Op::kReplace, from);
    if (Fault()) return false;
    return Checked(at, ScriptedPlatform::ReplaceFile(from, to));
  }
  bool RemoveFolder(const char* path) override {
    Guard guard(lock_);
    size_t at = Note(Op::kRemoveFolder, path);
    if (Fault()) return false;
    return Checked(at, ScriptedPlatform::RemoveFolder(path));
  }
  bool ExecutablePath(char* buffer, int capacity) override {
    Guard guard(lock_);
    size_t at = Note(Op::kProgramPath, nullptr);
    if (Fault()) return false;
    return Checked(at, ScriptedPlatform::ExecutablePath(buffer, capacity));
  }
  void ConsoleWrite(const char* text) override {
    Guard guard(lock_);
    static const char* const kStatusLines[] = {kConsoleCheckingPatch, kConsoleCheckingTarget,
                                               kConsoleMakingBackup, kConsoleApplying,
                                               kConsoleCheckingResult};
    for (int i = 0; i < 5; ++i) {
      if (std::strcmp(text, kStatusLines[i]) == 0) phase_ = static_cast<Phase>(i + 1);
    }
    // The driver announces the apply phase only after a complete backup.
    if (phase_ == Phase::kApplying) backedUp = true;
    ScriptedPlatform::ConsoleWrite(text);
  }
  int MessageBox(const char* text, const char* caption, unsigned style) override {
    Guard guard(lock_);
    if ((style & 0xF) == (kBoxConfirm & 0xF)) {
      Note(Op::kBox, nullptr);
      if (Fault()) return 0;
    }
    if (!outcomeFile.empty()) {
      if (std::FILE* out = std::fopen(outcomeFile.c_str(), "ab")) {
        std::fprintf(out, "%s %d %d %d\n", HexOf(text).c_str(), fired ? 1 : 0, backedUp ? 1 : 0,
                     static_cast<int>(firedOp));
        std::fclose(out);
      }
    }
    int answer = ScriptedPlatform::MessageBox(text, caption, style);
    if (cutAt == kCutAfterCompletion && std::strcmp(text, kDoneText) == 0) PowerCut();
    return answer;
  }

 private:
  using Guard = std::lock_guard<std::recursive_mutex>;

  // What a move that failed midway leaves: a file moved whole, or a folder created at the
  // destination with the source's first item in it.
  void MovePart(const char* from, const char* to) {
    std::vector<std::string> names;
    auto collect = [](const char* name, ItemKind, void* user) {
      if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
        static_cast<std::vector<std::string>*>(user)->emplace_back(name);
      }
    };
    if (!ScriptedPlatform::ForEachFolderItem(from, collect, &names)) {
      ScriptedPlatform::MoveItem(from, to);
      return;
    }
    ScriptedPlatform::CreateFolder(to);
    if (!names.empty()) {
      ScriptedPlatform::MoveItem((std::string(from) + "\\" + names[0]).c_str(),
                                 (std::string(to) + "\\" + names[0]).c_str());
    }
  }
  // The whole content of a file, read without counting.
  std::string ContentOf(const char* path) {
    FileHandle file = ScriptedPlatform::OpenFile(path, kOpenRead);
    if (file == kNoFile) return std::string();
    std::string content(static_cast<size_t>(ScriptedPlatform::FileSize(file)), '\0');
    if (!content.empty()) {
      ScriptedPlatform::ReadFile(file, content.data(), static_cast<int32_t>(content.size()));
    }
    ScriptedPlatform::CloseFile(file);
    return content;
  }
  // A folder creation, counted and made to fail like the others.
  template <typename Create>
  FolderResult Creation(Op op, const char* path, Create create) {
    size_t at = Note(op, path);
    if (Fault()) return FolderResult::kFailed;
    FolderResult result = create();
    Checked(at, result != FolderResult::kFailed);
    return result;
  }
  // Whether `path` is `folder` or lies below it.
  static bool Within(const std::string& path, const std::string& folder) {
    return path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '\\' ||
            path[folder.size()] == '/');
  }

  // The program lives in its folder beside the patch; `folder` is the chosen install.
  Target TargetOf(const std::string& path) const {
    const std::string patch = executable.substr(0, executable.rfind('\\') + 1) + PatchArchive;
    if (path == patch) return Target::kPatch;
    if (folder.empty() || path == folder || !Within(path, folder)) return Target::kOther;
    const bool archive = path.size() > 4 && path.compare(path.size() - 4, 4, ".zt4") == 0;
    const std::string backupFolder = folder + "\\" + kBackupFolderName;
    if (path.rfind(backupFolder + "\\zt4journal", 0) == 0) return Target::kJournal;
    if (!backedUp || Within(path, backupFolder)) {
      return archive ? Target::kOldArchive : Target::kOldFile;
    }
    return archive ? Target::kNewArchive : Target::kNewFile;
  }

  // Records an operation on a path (none: nullptr) and returns its index.
  size_t Note(Op op, const char* path) {
    OpRecord record;
    record.op = op;
    record.phase = phase_;
    if (path) {
      record.path = path;
      if (op == Op::kOpen || op == Op::kDelete) record.target = TargetOf(record.path);
      // Shown below the case folder, the install's parent.
      const std::string root = folder.substr(0, folder.rfind('\\') + 1);
      if (!root.empty() && record.path.compare(0, root.size(), root) == 0) {
        record.path.erase(0, root.size());
      }
    }
    operations.push_back(record);
    return operations.size() - 1;
  }
  // Records an operation on an open file: the file's target, mode and path, and its step.
  size_t NoteOnFile(Op op, FileHandle file) {
    OpRecord record;
    auto found = files_.find(file);
    if (found != files_.end()) {
      record = found->second;
      record.step = ++found->second.step;
    }
    record.op = op;
    record.phase = phase_;
    record.sameAnyway = false;
    operations.push_back(record);
    return operations.size() - 1;
  }
  // Notes whether the real call failed (so a fault there would change nothing).
  bool Checked(size_t at, bool succeeded) {
    if (!succeeded) operations[at].sameAnyway = true;
    return succeeded;
  }

  // The power goes: every file written since its last flush falls back to what was
  // flushed, and the run ends where it stands.
  [[noreturn]] void PowerCut() {
    for (const std::string& path : unflushed_) {
      FileHandle file = ScriptedPlatform::OpenFile(path.c_str(), kOpenCreate);
      if (file == kNoFile) continue;  // moved or removed since: a folder change, kept
      const std::string& content = durable_[path];
      ScriptedPlatform::WriteFile(file, content.data(), static_cast<int32_t>(content.size()));
      ScriptedPlatform::CloseFile(file);
    }
    if (std::FILE* out = std::fopen(outcomeFile.c_str(), "ab")) {
      std::fprintf(out, "%s 0 %d 0\n", HexOf("cut").c_str(), backedUp ? 1 : 0);
      std::fclose(out);
    }
    std::fflush(stdout);
    std::_Exit(0);
  }

  bool Fault() {
    int number = static_cast<int>(operations.size());
    if (cutAt > 0 && number == cutAt) PowerCut();
    const OpRecord& record = operations.back();
    Op op = record.op;
    int occurrence = ++occurrences_[{static_cast<int>(op), record.path}];
    if (faultKey.occurrence > 0) {
      if (fired || op != faultKey.op || record.path != faultKey.path ||
          occurrence != faultKey.occurrence) {
        return false;
      }
      fired = true;
      firedOp = op;
      return true;
    }
    if (fired && secondFaultAt != 0 && number == secondFaultAt) {
      flavour = Flavour::kFail;
      return true;
    }
    if (fired || faultAt == 0 || number != faultAt) return false;
    fired = true;
    firedOp = op;
    return true;
  }

  std::recursive_mutex lock_;
  std::map<std::pair<int, std::string>, int> occurrences_;  // operations so far, by key
  Phase phase_ = Phase::kStart;
  std::map<FileHandle, OpRecord> files_;  // the open files, as their opens were noted
  std::map<FileHandle, std::string> writing_;   // the files open to write, by path
  std::map<std::string, std::string> durable_;  // a written file's content on the disk itself
  std::map<std::string, std::string> written_;  // and as the run wrote it
  std::set<std::string> unflushed_;             // written since their last flush
};

}  // namespace zt4::test
