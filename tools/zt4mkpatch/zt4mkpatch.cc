// zt4mkpatch OLD_DIR NEW_DIR OUT [options]: writes the patch archive that takes an
// install equal to OLD_DIR to one equal to NEW_DIR; with --check, applies it afterwards
// to a temporary copy of OLD_DIR with the applier's own code and compares the result.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/process_objects.h"
#include "common/files.h"
#include "common/names.h"
#include "zt4mkpatch/patch_builder.h"
#include "zt4mkpatch/patch_check.h"
#include "version.h"

namespace {

constexpr char kUsage[] =
    "usage: zt4mkpatch OLD_DIR NEW_DIR OUT [--check] [--strict] [--level N] [--budget MIB]\n"
    "       zt4mkpatch --version\n"
    "  Writes the patch archive OUT that takes an install equal to OLD_DIR to one equal to\n"
    "  NEW_DIR.\n"
    "  --check       applies OUT to a temporary copy of OLD_DIR afterwards and compares the\n"
    "                result with NEW_DIR byte for byte; OUT is kept only when they are equal\n"
    "  --strict      the first form of patch, which every applier reads; larger (changed\n"
    "                bytes at their offsets, changed archive members whole)\n"
    "  --level N     effort of a compact patch, 1 (fast) to 22 (smallest); default 22\n"
    "  --budget MIB  memory the applier may use for one file and the contents it is made\n"
    "                from; default twice the largest file under 64 MiB (larger ones are\n"
    "                made a segment at a time), at least 64\n";

// A whole number within [low, high], or false.
bool NumberIn(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != 0 || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "zt4mkpatch: error: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  zt4::StartProcessObjects();
  using namespace zt4::builder;
  using namespace zt4::tool;

  std::vector<std::string> paths;
  bool check = false;
  BuildOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    long number = 0;
    if (argument == "--check") {
      check = true;
    } else if (argument == "--strict") {
      options.strict = true;
    } else if (argument == "--level" || argument == "--budget") {
      bool level = argument == "--level";
      if (i + 1 >= argc || !NumberIn(argv[i + 1], 1, level ? 22 : 2047, &number)) {
        std::fputs(kUsage, stderr);
        return Fail(argument + (level ? " takes a number from 1 to 22" : " takes a number of MiB from 1 to 2047"));
      }
      ++i;
      if (level) {
        options.level = static_cast<int>(number);
      } else {
        options.budget = static_cast<int64_t>(number) << 20;
      }
    } else if (argument == "-h" || argument == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (argument == "--version") {
      std::printf("zt4mkpatch %s\n", zt4::kVersion);
      return 0;
    } else if (argument.size() > 1 && argument[0] == '-' && argument[1] == '-') {
      std::fputs(kUsage, stderr);
      return Fail("unknown option " + argument);
    } else {
      paths.push_back(argument);
    }
  }
  if (paths.size() != 3) {
    std::fputs(kUsage, stderr);
    return 1;
  }

  std::string error;
  if (!ArgumentPath(paths[0], &options.oldDir, &error) ||
      !ArgumentPath(paths[1], &options.newDir, &error) ||
      !ArgumentPath(paths[2], &options.outPath, &error)) {
    return Fail(error);
  }
  options.messages = stderr;
  // A checked patch is written under a name of its own and takes OUT's name only when
  // the check has passed: a failed check leaves no OUT, nor replaces an earlier one.
  const std::string out = options.outPath;
  if (check) options.outPath = out + ".unchecked";

  BuildSummary summary;
  if (!BuildPatch(options, &summary, &error)) return Fail(error);
  std::fprintf(stderr, "zt4mkpatch: wrote %s\n%s", Shown(options.outPath).c_str(),
               FormatSummary(summary).c_str());
  if (!check) return 0;

  std::string temp = TempFolderPath();
  if (temp.empty()) {
    // Beside the patch, where something could be written just now.
    size_t slash = LastSeparator(out);
    temp = out.substr(0, slash == std::string::npos ? 0 : slash);
  }
  TreeDifferences found;
  bool ran = CheckPatch(options.oldDir, options.newDir, options.outPath, temp, stderr, &found,
                        &error);
  if (!ran || !found.differences.empty()) {
    RemoveTree(options.outPath);
    if (!ran) return Fail(error + "\nno patch was written");
    for (const std::string& line : found.differences) std::fprintf(stderr, "  %s\n", line.c_str());
    return Fail("the patched copy differs from " + Shown(options.newDir) + " in " +
                std::to_string(found.differences.size()) + " places; no patch was written");
  }
  if (!ReplaceFile(options.outPath, out, &error)) return Fail(error);
  std::string equals = "equals " + Shown(options.newDir);
  if (!found.emptyFoldersMissing.empty()) {
    for (const std::string& folder : found.emptyFoldersMissing) {
      std::fprintf(stderr, "zt4mkpatch: warning: %s: an empty folder, which the patch cannot carry\n",
                   folder.c_str());
    }
    equals += " but for the " + std::to_string(found.emptyFoldersMissing.size()) +
              " empty folder(s) named above";
  }
  std::fprintf(stderr, "zt4mkpatch: check passed: the patched copy %s\nzt4mkpatch: wrote %s\n",
               equals.c_str(), Shown(out).c_str());
  return 0;
}
