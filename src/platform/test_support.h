// What only the tests ask of the OS: running another program through the shell, this
// test program started anew, a path as the build names it, and the version a program
// carries in its file properties. Built into a library of its own, so the programs that
// ship carry none of it.
#pragma once

namespace zt4 {

// Runs a command line through the OS's shell. Returns the program's exit code, or -1 when
// it could not be run or did not end normally.
int RunShellCommand(const char* commandLine);

// A path as the build names it ('/' separators, the build host's root) as this OS names
// it: under Wine a host path "/x/y" is "Z:\x\y". False when it does not fit.
bool BuildPathToNative(const char* path, char* out, int capacity);

// The version resource of a Windows program: the numbers of its fixed part and the
// strings of its first translation, in UTF-8 (cut short to fit).
struct ProgramVersion {
  unsigned fileNumbers[4];
  unsigned productNumbers[4];
  char fileVersion[32];
  char productVersion[32];
  char productName[64];
  char fileDescription[128];
  char originalFilename[64];
};

// Reads the version resource of the program at `path` (the OS's own text). False when it
// carries none or one without those values, and always where programs carry no such
// resource.
bool ReadProgramVersion(const char* path, ProgramVersion* out);
// Starts this test program anew with `arguments` (a null-terminated list, each passed as
// one argument) and the environment this process has now, its standard output and error
// written to `outputFile` (a CP932 path, made anew), and waits for it to end. True with
// its exit code in `*code` (on Windows the whole 32-bit code, as GetExitCodeProcess gives
// it); false when it could not be started or did not end normally, with the OS's error
// (or the signal that ended it) in `*code`.
bool RunThisProgram(const char* const* arguments, const char* outputFile, unsigned long* code);

}  // namespace zt4
