#include "zt4mkpatch/patch_check.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "archive/mount.h"
#include "base/heap.h"
#include "common/files.h"
#include "common/names.h"
#include "common/quiet_platform.h"
#include "update/phases.h"

namespace zt4::builder {
namespace {

using namespace zt4::tool;

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kVerify:
      return "verifying the old files";
    case Phase::kBackup:
      return "moving the old files into the backup folder";
    case Phase::kApply:
      return "applying the patch";
    case Phase::kCheck:
      break;
  }
  return "checking the new files";
}

const char* EnglishStop(Stop stop) {
  static const char* const kEnglish[6] = {
      "the patch file is damaged",
      "a file has another version than the patch expects",
      "a file to update from is missing or cannot be opened",
      "memory ran short",
      "an updated file cannot be written",
      "the processing was aborted",
  };
  return stop == Stop::kNone ? "no stop" : kEnglish[static_cast<int>(stop)];
}

}  // namespace

bool ApplyPatchToCopy(const std::string& oldDir, const std::string& patchPath,
                      const std::string& work, Stop* stop, std::string* error) {
  *stop = Stop::kNone;
  if (!CopyTree(oldDir, work, error)) return false;
  // The folder dialog hands the driver a path with '\' separators only ('/' is never the
  // trail byte of a double-byte character): the apply pass creates folders level by
  // level along the '/' of the names and stops at the target folder itself.
  std::string target = work;
  for (char& c : target) {
    if (c == '/') c = '\\';
  }
  std::string backup = target + "\\" + kBackupFolderName;
  Phase phase = Phase::kVerify;
  QuietPlatform quiet;
  {
    ScopedPlatform scope(&quiet);
    ScopedBlock description;
    uint8_t digest[20];
    PatchEntry* tree = LoadPatch(PoolString(patchPath.c_str()), &description.data, digest);
    if (!tree) {
      Unmount(PoolString(kPatchMountName));
      *error = Shown(patchPath) + ": the patch cannot be read, or the applier refuses its list";
      return false;
    }
    *stop = VerifyTarget(tree, target.c_str(), backup.c_str());
    if (*stop == Stop::kNone) *stop = UpdateTarget(tree, digest, target.c_str(), backup.c_str(), &phase);
    // Archives read during the passes hold their files open, which Windows would not let
    // the copy's removal delete.
    ReleaseArchiveCache();
    Unmount(PoolString(kPatchMountName));
    FreePatchList(tree);
  }
  if (*stop == Stop::kNone) return true;
  *error = std::string("the patch does not apply: the applier stopped while ") +
           PhaseName(phase) + ": " + EnglishStop(*stop) + " (" + Shown(StopText(*stop)) + ")";
  std::string diagnostics = quiet.DebugTail(6);
  if (!diagnostics.empty()) {
    *error += "\nthe applier's last diagnostic lines:\n" + Shown(diagnostics);
    if (error->back() == '\n') error->pop_back();
  }
  return false;
}

TreeDifferences CompareTrees(const std::string& expected, const std::string& actual,
                             const std::string& skip) {
  TreeDifferences found;
  std::vector<std::string>& differences = found.differences;
  TreeScan want;
  TreeScan have;
  std::string error;
  if (!ScanTree(expected, &want, &error) || !ScanTree(actual, &have, &error)) {
    differences.push_back(error);
    return found;
  }
  auto skipped = [&skip](const std::string& name) {
    return !skip.empty() && (name == skip || name.compare(0, skip.size() + 1, skip + "/") == 0);
  };
  std::vector<TreeFile> haveFiles;
  for (const TreeFile& file : have.files) {
    if (!skipped(file.name)) haveFiles.push_back(file);
  }
  std::vector<std::string> haveFolders;
  for (const std::string& folder : have.folders) {
    if (!skipped(folder)) haveFolders.push_back(folder);
  }
  // Folders: both lists are sorted.
  std::vector<std::string> missingFolders;
  std::set_difference(want.folders.begin(), want.folders.end(), haveFolders.begin(),
                      haveFolders.end(), std::back_inserter(missingFolders));
  for (const std::string& folder : missingFolders) {
    // A folder without a file below it: named once, by its empty folders.
    auto below = std::lower_bound(want.files.begin(), want.files.end(), folder + "/",
                                  [](const TreeFile& file, const std::string& prefix) {
                                    return file.name < prefix;
                                  });
    bool holdsFiles = below != want.files.end() &&
                      below->name.compare(0, folder.size() + 1, folder + "/") == 0;
    if (holdsFiles) {
      differences.push_back("missing folder: " + Shown(actual + "/" + folder));
    } else if (std::binary_search(want.emptyFolders.begin(), want.emptyFolders.end(), folder)) {
      found.emptyFoldersMissing.push_back(Shown(expected + "/" + folder));
    }
  }
  std::vector<std::string> extraFolders;
  std::set_difference(haveFolders.begin(), haveFolders.end(), want.folders.begin(),
                      want.folders.end(), std::back_inserter(extraFolders));
  for (const std::string& folder : extraFolders) {
    differences.push_back("unexpected folder: " + Shown(actual + "/" + folder));
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
    bool same = false;
    if (!SameFiles(expected + "/" + name, actual + "/" + name, &same, &error)) {
      differences.push_back(error);
    } else if (!same) {
      differences.push_back("differs: " + Shown(actual + "/" + name));
    }
    ++i;
    ++j;
  }
  return found;
}

bool CheckPatch(const std::string& oldDir, const std::string& newDir, const std::string& patchPath,
                const std::string& tempParent, std::FILE* messages, TreeDifferences* found,
                std::string* error) {
  *found = TreeDifferences();
  std::string work;
  if (!MakeUniqueFolder(tempParent, "zt4mkpatch-check", &work)) {
    *error = "the check could not run: " + Shown(tempParent) + ": no temporary folder can be made there";
    return false;
  }
  if (messages) {
    std::fprintf(messages, "checking: applying the patch to a copy of the old install in %s\n",
                 Shown(work).c_str());
    std::fflush(messages);
  }
  Stop stop;
  bool ok = ApplyPatchToCopy(oldDir, patchPath, work, &stop, error);
  if (!ok && stop == Stop::kNone) *error = "the check could not run: " + *error;
  if (ok) {
    *found = CompareTrees(newDir, work, kBackupFolderName);
    // The backup is the old install moved whole: its empty folders too.
    for (const std::string& line :
         CompareTrees(oldDir, work + "/" + kBackupFolderName, std::string()).differences) {
      found->differences.push_back("backup " + line);
    }
  }
  if (!RemoveTree(work) && messages) {
    std::fprintf(messages, "zt4mkpatch: the temporary copy %s is left behind\n", Shown(work).c_str());
  }
  return ok;
}

}  // namespace zt4::builder
