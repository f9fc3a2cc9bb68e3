// Writes the sample install of the other tests to disk for the Wine runs of the real
// program: OUT/old and OUT/new (the install before and after the update) and
// OUT/handmade.zt4, the hand-made patch between them. OUT is a full path.
//
// With --hold it is instead the other program a user may have running: it holds FILE open
// for reading, sharing only its deletion (a rename), so the file can be moved but nobody
// else can open it; it writes READY once it holds the file and lets go when RELEASE
// appears, or after about a minute.
// The project's headers come first: <windows.h> turns MessageBox and DeleteFile into macros.
#include "driver/process_objects.h"
#include "support/patch_writer.h"
#include "support/sample_install.h"
#include "support/test_files.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kReleasePolls = 600;  // of 100 ms each
constexpr DWORD kReleasePollMs = 100;

bool Exists(const wchar_t* path) { return ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

// 0 when released, 1 when the file could not be held, 3 when RELEASE never came.
int HoldFile(const wchar_t* file, const wchar_t* ready, const wchar_t* release) {
  HANDLE held = ::CreateFileW(file, GENERIC_READ, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "zt4_gui_sample: could not hold the file (error %lu)\n",
                 static_cast<unsigned long>(::GetLastError()));
    return 1;
  }
  HANDLE marker = ::CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "zt4_gui_sample: could not write the ready marker (error %lu)\n",
                 static_cast<unsigned long>(::GetLastError()));
    ::CloseHandle(held);
    return 1;
  }
  ::CloseHandle(marker);
  int polls = 0;
  while (!Exists(release) && polls < kReleasePolls) {
    ::Sleep(kReleasePollMs);
    ++polls;
  }
  ::CloseHandle(held);
  return Exists(release) ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--hold") {
    // The paths as the system passed them, whatever the code page.
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!wide || count != 5) return 2;
    int result = HoldFile(wide[2], wide[3], wide[4]);
    ::LocalFree(wide);
    return result;
  }
  if (argc != 2) {
    std::fputs("usage: zt4_gui_sample OUT\n"
               "       zt4_gui_sample --hold FILE READY RELEASE\n",
               stderr);
    return 2;
  }
  zt4::StartProcessObjects();
  const std::string out = argv[1];
  zt4::test::SampleInstall sample = zt4::test::MakeSampleInstall();
  if (!zt4::test::WriteTree(out + "/old", sample.oldTree) ||
      !zt4::test::WriteTree(out + "/new", sample.newTree) ||
      !zt4::test::WritePatch(out + "/handmade.zt4", sample.list, sample.payloads)) {
    std::fprintf(stderr, "zt4_gui_sample: could not write below %s\n", out.c_str());
    return 1;
  }
  return 0;
}
