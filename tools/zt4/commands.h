// The commands of the zt4 tool. Each takes the arguments after its own name (OS text,
// as the command line gave them), prints its own messages and returns true on success.
// A new command gets a function here and a line in the table of zt4.cc.
#pragma once

#include <string>
#include <vector>

namespace zt4::tool {

using Arguments = std::vector<std::string>;

// Archive commands (archive_commands.cc).
bool ListCommand(const Arguments& arguments);
bool ExtractCommand(const Arguments& arguments);
bool CreateCommand(const Arguments& arguments);
bool VerifyCommand(const Arguments& arguments);
// Puts back the install that a stopped update left in BACKUP_FILES (restore_command.cc).
bool RestoreCommand(const Arguments& arguments);
// What a patch describes (as lines, or with --json as one JSON object), and whether an
// install can take it (patch_commands.cc).
bool PatchInfoCommand(const Arguments& arguments);
bool PatchCheckCommand(const Arguments& arguments);

}  // namespace zt4::tool
