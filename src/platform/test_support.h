// What only the tests ask of the OS: running another program through the shell, and a
// path as the build names it. Built into a library of its own, so the programs that ship
// carry none of it.
#pragma once

namespace zt4 {

// Runs a command line through the OS's shell. Returns the program's exit code, or -1 when
// it could not be run or did not end normally.
int RunShellCommand(const char* commandLine);

// A path as the build names it ('/' separators, the build host's root) as this OS names
// it: under Wine a host path "/x/y" is "Z:\x\y". False when it does not fit.
bool BuildPathToNative(const char* path, char* out, int capacity);

}  // namespace zt4
