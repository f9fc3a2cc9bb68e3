#include "zt4mkpatch/patch_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/mount.h"
#include "base/heap.h"
#include "base/stream.h"
#include "base/texts.h"
#include "driver/update_driver.h"
#include "platform/platform.h"
#include "update/operations.h"
#include "update/patch_list.h"
#include "zt4mkpatch/file_tree.h"

namespace zt4::builder {
namespace {

// The mount table keeps its archives open until the process ends, and has no way to
// take one out; an archive that fails to open holds no file. So the mounted patch is
// reopened on a name that is not there, and Windows lets the patch be moved or removed.
void ReleaseMountedPatch(const std::string& patchPath) {
  Archive* mounted = MountedArchive(PoolString("patch"));
  if (mounted) mounted->Open(PoolString((patchPath + ".released").c_str()));
}

void Ignore(const char* /*name*/, bool /*isFolder*/, void* /*user*/) {}

bool ListedFolder(const std::string& path) {
  return Os().ListFolder(path.c_str(), Ignore, nullptr);
}

const char* EnglishStop(const char* text) {
  static const char* const kEnglish[6] = {
      "the patch file is damaged",
      "a file has another version than the patch expects",
      "a file to update from is missing or cannot be opened",
      "memory ran short",
      "an updated file cannot be written",
      "the processing was aborted",
  };
  for (int i = 0; i < 6; ++i) {
    if (std::strcmp(text, StopMessages[i]) == 0) return kEnglish[i];
  }
  return "an unknown stop";
}

// The OS for the files, nothing for the user: console and debugger lines are dropped
// (the last few debugger lines are kept to explain a stop), and the one message box the
// applier's passes can show is a stop.
class CheckPlatform final : public Platform {
 public:
  explicit CheckPlatform(Platform* base) : base_(base) {}

  const char* phase = "";
  std::string work;   // removed when the applier stops, if not empty
  std::string patch;  // the mounted patch, let go when the applier stops

  FileHandle OpenFile(const char* path, int mode) override { return base_->OpenFile(path, mode); }
  void CloseFile(FileHandle file) override { base_->CloseFile(file); }
  int32_t ReadFile(FileHandle file, void* buffer, int32_t count) override {
    return base_->ReadFile(file, buffer, count);
  }
  bool WriteFile(FileHandle file, const void* data, int32_t count) override {
    return base_->WriteFile(file, data, count);
  }
  int64_t SeekFile(FileHandle file, int64_t offset, int origin) override {
    return base_->SeekFile(file, offset, origin);
  }
  int64_t FileSize(FileHandle file) override { return base_->FileSize(file); }
  bool DeleteFile(const char* path) override { return base_->DeleteFile(path); }
  bool ListFolder(const char* folder, FolderItemSink sink, void* user) override {
    return base_->ListFolder(folder, sink, user);
  }
  FolderResult CreateFolder(const char* path) override { return base_->CreateFolder(path); }
  FolderResult CreateFolderTree(const char* path) override { return base_->CreateFolderTree(path); }
  bool MoveItem(const char* from, const char* to) override { return base_->MoveItem(from, to); }
  bool RemoveFolder(const char* path) override { return base_->RemoveFolder(path); }
  bool ExecutablePath(char* buffer, int capacity) override {
    return base_->ExecutablePath(buffer, capacity);
  }
  bool CurrentFolder(char* buffer, int capacity) override {
    return base_->CurrentFolder(buffer, capacity);
  }
  void OpenConsole() override {}
  void ConsoleWrite(const char* /*text*/) override {}
  void DebugOutput(const char* text) override {
    debug_ += text;
    // Enough for the entry being checked and the two digests of a mismatch.
    if (debug_.size() > 4096) debug_.erase(0, debug_.size() - 2048);
  }
  int MessageBox(const char* text, const char* /*caption*/, unsigned /*style*/) override {
    Stop(text);
  }
  bool ChooseFolder(const char* /*title*/, char* /*path*/) override { return false; }

 private:
  [[noreturn]] void Stop(const char* text) {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "zt4mkpatch: error: the patch does not apply: the applier stopped while %s: "
                 "%s (%s)\n",
                 phase, EnglishStop(text), Shown(text).c_str());
    size_t lastLines = debug_.size();
    for (int lines = 0; lastLines > 0 && lines < 6;) {
      if (debug_[--lastLines] == '\n') ++lines;
    }
    if (!debug_.empty()) {
      std::fprintf(stderr, "zt4mkpatch: the applier's last diagnostic lines:\n%s",
                   Shown(debug_.substr(lastLines)).c_str());
      if (debug_.back() != '\n') std::fputc('\n', stderr);
    }
    std::fflush(stderr);
    // Archives read during the pass hold their files open, which Windows would not let
    // the removal delete.
    ReleaseArchiveCache();
    ReleaseMountedPatch(patch);
    InstallPlatform(base_);
    if (!work.empty()) {
      RemoveTree(work);
      // Windows keeps a file that the stopped pass still holds open.
      if (FileExists(work) || ListedFolder(work)) {
        std::fprintf(stderr, "zt4mkpatch: the temporary copy %s is left behind\n",
                     Shown(work).c_str());
      }
    }
    std::exit(1);
  }

  Platform* base_;
  std::string debug_;
};

// Installs the check's platform for a scope.
class ScopedCheckPlatform {
 public:
  ScopedCheckPlatform() : platform_(&Os()) { previous_ = InstallPlatform(&platform_); }
  ~ScopedCheckPlatform() { InstallPlatform(previous_); }
  ScopedCheckPlatform(const ScopedCheckPlatform&) = delete;
  ScopedCheckPlatform& operator=(const ScopedCheckPlatform&) = delete;
  CheckPlatform& Get() { return platform_; }

 private:
  CheckPlatform platform_;
  Platform* previous_ = nullptr;
};

}  // namespace

bool ApplyPatchToCopy(const std::string& oldDir, const std::string& patchPath,
                      const std::string& work, bool removeOnStop, std::string* error) {
  if (!CopyTree(oldDir, work, error)) return false;
  // As the driver does: the patch mounted as "patch", its list parsed into the tree.
  if (!Mount(PoolString(patchPath.c_str()), PoolString("patch"))) {
    *error = Shown(patchPath) + ": the patch cannot be opened as an archive";
    return false;
  }
  uint8_t* list = nullptr;
  int32_t listSize = 0;
  if (!LoadWholeFile(PoolString("patch/list"), &list, &listSize)) {
    ReleaseMountedPatch(patchPath);
    *error = Shown(patchPath) + ": the patch holds no readable list";
    return false;
  }
  PatchEntry* tree = ParsePatchList(list, listSize);
  if (!tree) {
    FreeBlock(list);
    ReleaseMountedPatch(patchPath);
    *error = Shown(patchPath) + ": the applier refuses the patch's list";
    return false;
  }
  // The folder dialog hands the driver a path with '\' separators only ('/' is never the
  // trail byte of a double-byte character): the apply pass creates folders level by
  // level along the '/' of the names and stops at the target folder itself.
  std::string target = work;
  for (char& c : target) {
    if (c == '/') c = '\\';
  }
  std::string backup = target + "\\" + kBackupFolderName;
  bool ok = true;
  {
    ScopedCheckPlatform scoped;
    CheckPlatform& platform = scoped.Get();
    if (removeOnStop) platform.work = work;
    platform.patch = patchPath;
    platform.phase = "verifying the old files";
    VerifyTree(tree, target.c_str(), true);
    ReleaseArchiveCache();
    platform.phase = "moving the old files into the backup folder";
    BackupRecord record;
    if (BackupFolder(target.c_str(), backup.c_str(), &record)) {
      FreeFolderItems(record.moved);
      platform.phase = "applying the patch";
      ApplyTree(tree, backup.c_str(), target.c_str());
      platform.phase = "checking the new files";
      CheckTree(tree, target.c_str());
    } else {
      UndoBackup(target.c_str(), backup.c_str(), &record);
      *error = Shown(work) + ": the backup of the copy failed";
      ok = false;
    }
    ReleaseArchiveCache();
  }
  FreePatchList(tree);
  FreeBlock(list);
  ReleaseMountedPatch(patchPath);
  return ok;
}

std::vector<std::string> CompareTrees(const std::string& expected, const std::string& actual,
                                      const std::string& skip) {
  std::vector<std::string> differences;
  TreeScan want;
  TreeScan have;
  std::string error;
  if (!ScanTree(expected, &want, &error) || !ScanTree(actual, &have, &error)) {
    differences.push_back(error);
    return differences;
  }
  std::vector<TreeFile> haveFiles;
  for (const TreeFile& file : have.files) {
    if (!skip.empty() && file.name.compare(0, skip.size() + 1, skip + "/") == 0) continue;
    haveFiles.push_back(file);
  }
  size_t i = 0;
  size_t j = 0;
  while (i < want.files.size() || j < haveFiles.size()) {
    if (j == haveFiles.size() ||
        (i < want.files.size() && want.files[i].name < haveFiles[j].name)) {
      differences.push_back("missing: " + Shown(actual + "/" + want.files[i++].name));
      continue;
    }
    if (i == want.files.size() || haveFiles[j].name < want.files[i].name) {
      differences.push_back("unexpected: " + Shown(actual + "/" + haveFiles[j++].name));
      continue;
    }
    const std::string& name = want.files[i].name;
    Bytes a;
    Bytes b;
    if (!ReadWholeFile(expected + "/" + name, &a, &error) ||
        !ReadWholeFile(actual + "/" + name, &b, &error)) {
      differences.push_back(error);
    } else if (a != b) {
      differences.push_back("differs: " + Shown(actual + "/" + name));
    }
    ++i;
    ++j;
  }
  return differences;
}

bool CheckPatch(const std::string& oldDir, const std::string& newDir, const std::string& patchPath,
                const std::string& tempParent, std::FILE* messages,
                std::vector<std::string>* differences, std::string* error) {
  differences->clear();
  std::string work;
  if (!MakeUniqueFolder(tempParent, "zt4mkpatch-check", &work)) {
    *error = Shown(tempParent) + ": no temporary folder can be made there";
    return false;
  }
  if (messages) {
    std::fprintf(messages, "checking: applying the patch to a copy of the old install in %s\n",
                 Shown(work).c_str());
    std::fflush(messages);
  }
  bool ok = ApplyPatchToCopy(oldDir, patchPath, work, true, error);
  if (ok) {
    *differences = CompareTrees(newDir, work, kBackupFolderName);
    std::vector<std::string> backup =
        CompareTrees(oldDir, work + "/" + kBackupFolderName, std::string());
    for (const std::string& line : backup) differences->push_back("backup " + line);
  }
  RemoveTree(work);
  return ok;
}

}  // namespace zt4::builder
