// Writes the sample install of the other tests to disk for the Wine runs of the real
// program: OUT/old and OUT/new (the install before and after the update) and
// OUT/handmade.zt4, the hand-made patch between them. OUT is a full path.
#include <cstdio>
#include <string>

#include "driver/process_objects.h"
#include "support/patch_writer.h"
#include "support/sample_install.h"
#include "support/test_files.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: zt4_gui_sample OUT\n", stderr);
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
