// zt4: the command-line tool over the archive code, for publishers and scripts.
// Exit status 0 on success, 1 on any failure; messages go to standard error.
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "driver/process_objects.h"
#include "tool_common.h"
#include "version.h"

namespace zt4::tool {
namespace {

struct Command {
  const char* name;
  const char* arguments;  // as shown in the usage
  const char* summary;
  int leastArguments;
  int mostArguments;  // -1: any number
  bool (*run)(const Arguments& arguments);
};

// One line per command; the usage text is made from this table.
const Command kCommands[] = {
    {"list", "ARCHIVE",
     "one line per index record, in index order:\n"
     "        offset storedSize contentSize crc name",
     1, 1, ListCommand},
    {"extract", "ARCHIVE DIR [MEMBER...]",
     "write the named members (all when none is named) under DIR, creating folders", 2, -1,
     ExtractCommand},
    {"create", "ARCHIVE DIR",
     "store every file under DIR as member /relative/path, in bytewise name order", 2, 2,
     CreateCommand},
    {"verify", "ARCHIVE", "extract every member with its CRC check and report the bad ones", 1, 1,
     VerifyCommand},
    {"restore", "TARGET [PATCH]",
     "after a stopped update, put back the install kept in TARGET/BACKUP_FILES; with the\n"
     "        patch, the files the update wrote are removed first (never without it)",
     1, 2, RestoreCommand},
    {"patch-info", "[--json] PATCH",
     "the update description of a patch in file order: its format (strict or compact, with\n"
     "        the memory budget), kinds, methods, ids, names, sizes, digests, references,\n"
     "        payload sizes stored and decoded; a group's members indented; with --json\n"
     "        the same as one JSON object (names in UTF-8)",
     1, 2, PatchInfoCommand},
    {"patch-check", "PATCH TARGET",
     "the update's check of TARGET before it starts, listing every problem; changes nothing",
     2, 2, PatchCheckCommand},
};

void PrintUsage(std::FILE* out) {
  std::fputs(
      "usage: zt4 COMMAND ARGUMENTS...\n       zt4 --help\n       zt4 --version\n\ncommands:\n",
      out);
  for (const Command& command : kCommands) {
    std::fprintf(out, "  zt4 %s %s\n        %s\n", command.name, command.arguments,
                 command.summary);
  }
  std::fputs(
      "\nNames are taken and shown in the system's own text and stored in archives as\n"
      "Shift-JIS (CP932). Exit status: 0 on success, 1 on any failure.\n",
      out);
}

bool IsHelp(const char* argument) {
  return std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0 ||
         std::strcmp(argument, "help") == 0;
}

int Run(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 1;
  }
  if (IsHelp(argv[1])) {
    PrintUsage(stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("zt4 %s\n", kVersion);
    return 0;
  }
  for (const Command& command : kCommands) {
    if (std::strcmp(argv[1], command.name) != 0) continue;
    Arguments arguments(argv + 2, argv + argc);
    if (arguments.size() == 1 && IsHelp(arguments[0].c_str())) {
      std::printf("usage: zt4 %s %s\n        %s\n", command.name, command.arguments,
                  command.summary);
      return 0;
    }
    int count = static_cast<int>(arguments.size());
    if (count < command.leastArguments ||
        (command.mostArguments >= 0 && count > command.mostArguments)) {
      Fail(std::string(command.name) + ": wrong number of arguments");
      std::fprintf(stderr, "usage: zt4 %s %s\n", command.name, command.arguments);
      return 1;
    }
    return command.run(arguments) ? 0 : 1;
  }
  Fail(std::string("unknown command '") + argv[1] + "' (zt4 --help lists the commands)");
  return 1;
}

}  // namespace
}  // namespace zt4::tool

int main(int argc, char** argv) {
  zt4::StartProcessObjects();
  int status = zt4::tool::Run(argc, argv);
  // Output that did not reach its file (a full disk, a closed pipe) is a failure too.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    zt4::tool::Fail("cannot write to standard output");
    status = 1;
  }
  return status;
}
