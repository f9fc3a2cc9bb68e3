// A platform that makes one chosen disk operation fail, once, and otherwise behaves as
// the scripted user of the driver tests. Operations are numbered in the order the run
// makes them, so a run that counts them (no fault chosen) tells which number to give
// each operation of a later, faulty run of the same update.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/texts.h"
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
  kRemoveFolder,
  kProgramPath,
  kCount
};

// How the chosen operation fails: kFail gives the operation's failure result without
// doing anything; kShort does part of a read or a write (half the bytes) and reports it.
enum class Flavour { kFail, kShort, kCount };

inline const char* OpName(Op op) {
  static const char* const kNames[] = {"open",        "read",   "write",         "seek",
                                       "size",        "delete", "list",          "create folder",
                                       "folder tree", "move",   "remove folder", "program path"};
  return kNames[static_cast<int>(op)];
}

inline const char* FlavourName(Op op, Flavour flavour) {
  if (flavour == Flavour::kShort) return "short";
  return op == Op::kRead ? "none" : "fail";
}

// The flavours that mean something for an operation.
inline std::vector<Flavour> FlavoursOf(Op op) {
  if (op == Op::kRead) return {Flavour::kFail, Flavour::kShort};
  if (op == Op::kWrite) return {Flavour::kShort};
  return {Flavour::kFail};
}

class FaultyPlatform : public ScriptedPlatform {
 public:
  // 1-based number of the operation to fail; 0 fails none (a counting run).
  int faultAt = 0;
  Flavour flavour = Flavour::kFail;
  // A second operation to fail (kFail), later in the same run; 0: none.
  int secondFaultAt = 0;
  // What the run did: every operation in order, whether the fault was made, whether the
  // backup completed (the driver goes on to apply only then).
  std::vector<Op> operations;
  bool fired = false;
  bool backedUp = false;
  Op firedOp = Op::kCount;
  // When set, each box's text is appended (hex, with the run's state) to this file, so a
  // parent process can read how its child ended.
  std::string outcomeFile;

  FileHandle OpenFile(const char* path, int mode) override {
    if (Fault(Op::kOpen)) return kNoFile;
    return ScriptedPlatform::OpenFile(path, mode);
  }
  int32_t ReadFile(FileHandle file, void* buffer, int32_t count) override {
    if (Fault(Op::kRead)) {
      if (flavour == Flavour::kFail || count <= 1) return 0;
      return ScriptedPlatform::ReadFile(file, buffer, count / 2);
    }
    return ScriptedPlatform::ReadFile(file, buffer, count);
  }
  bool WriteFile(FileHandle file, const void* data, int32_t count) override {
    if (Fault(Op::kWrite)) {
      if (flavour == Flavour::kShort && count > 1)
        ScriptedPlatform::WriteFile(file, data, count / 2);
      return false;
    }
    return ScriptedPlatform::WriteFile(file, data, count);
  }
  int64_t SeekFile(FileHandle file, int64_t offset, int origin) override {
    if (Fault(Op::kSeek)) return -1;
    return ScriptedPlatform::SeekFile(file, offset, origin);
  }
  int64_t FileSize(FileHandle file) override {
    if (Fault(Op::kSize)) return -1;
    return ScriptedPlatform::FileSize(file);
  }
  bool DeleteFile(const char* path) override {
    if (Fault(Op::kDelete)) return false;
    return ScriptedPlatform::DeleteFile(path);
  }
  bool ForEachFolderItem(const char* folder, FolderItemSink sink, void* user) override {
    if (Fault(Op::kList)) return false;
    return ScriptedPlatform::ForEachFolderItem(folder, sink, user);
  }
  FolderResult CreateFolder(const char* path) override {
    if (Fault(Op::kCreateFolder)) return FolderResult::kFailed;
    return ScriptedPlatform::CreateFolder(path);
  }
  FolderResult CreateFolderTree(const char* path) override {
    if (Fault(Op::kCreateFolderTree)) return FolderResult::kFailed;
    return ScriptedPlatform::CreateFolderTree(path);
  }
  bool MoveItem(const char* from, const char* to) override {
    if (Fault(Op::kMove)) return false;
    return ScriptedPlatform::MoveItem(from, to);
  }
  bool RemoveFolder(const char* path) override {
    if (Fault(Op::kRemoveFolder)) return false;
    return ScriptedPlatform::RemoveFolder(path);
  }
  bool ExecutablePath(char* buffer, int capacity) override {
    if (Fault(Op::kProgramPath)) return false;
    return ScriptedPlatform::ExecutablePath(buffer, capacity);
  }
  void ConsoleWrite(const char* text) override {
    // The driver announces the apply phase only after a complete backup.
    if (std::strcmp(text, kConsoleApplying) == 0) backedUp = true;
    ScriptedPlatform::ConsoleWrite(text);
  }
  int MessageBox(const char* text, const char* caption, unsigned style) override {
    if (!outcomeFile.empty()) {
      if (std::FILE* out = std::fopen(outcomeFile.c_str(), "ab")) {
        std::fprintf(out, "%s %d %d %d\n", HexOf(text).c_str(), fired ? 1 : 0, backedUp ? 1 : 0,
                     static_cast<int>(firedOp));
        std::fclose(out);
      }
    }
    return ScriptedPlatform::MessageBox(text, caption, style);
  }

 private:
  bool Fault(Op op) {
    operations.push_back(op);
    int number = static_cast<int>(operations.size());
    if (fired && secondFaultAt != 0 && number == secondFaultAt) {
      flavour = Flavour::kFail;
      return true;
    }
    if (fired || faultAt == 0 || number != faultAt) return false;
    fired = true;
    firedOp = op;
    return true;
  }
};

}  // namespace zt4::test
