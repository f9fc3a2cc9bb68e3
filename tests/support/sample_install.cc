#include "support/sample_install.h"

#include "platform/platform.h"
#include "support/patch_writer.h"

namespace zt4::test {

SampleInstall MakeSampleInstall(bool userFile, bool linkedFolder) {
  SampleInstall s;
  const std::string so = "\x83\x5C";                          // ソ
  const std::string data = "\x83\x66\x81\x5B\x83\x5E.bin";    // データ.bin
  std::string binary;
  for (int i = 0; i < 3000; ++i) binary += static_cast<char>((i * 7919) >> 3);
  std::string changedOld = "the old readme\n" + std::string(200, '.');
  std::string changedNew = "the NEW readme\n" + std::string(150, '.') + "tail";

  Members oldData = {{"/a", "carried member"}, {"/b", "old b"}, {"/c", "removed member"},
                     {"/e", ""}};
  Members newData = {{"/n", "added member"}, {"/a", "carried member"}, {"/b", "new b"},
                     {"/e", ""}};
  Members more = {{"/x", std::string(5000, 'x')}, {"/y", binary}};
  std::string oldDataZt4 = ArchiveBytes(oldData);
  std::string newDataZt4 = ArchiveBytes(newData);
  std::string moreZt4 = ArchiveBytes(more);

  s.oldTree = {{"readme.txt", changedOld},
               {"bin/", ""},
               {"bin/tool.exe", binary},
               {"gone.txt", "to be removed"},
               {so + "/", ""},
               {so + "/" + data, "sjis old"},
               {"data.zt4", oldDataZt4},
               {"sub/", ""},
               {"sub/more.zt4", moreZt4},
               {".hidden", "dot file"}};
  s.newTree = {{"readme.txt", changedNew},
               {"bin/", ""},
               {"bin/tool.exe", binary},
               {so + "/", ""},
               {so + "/" + data, "sjis NEW content"},
               {"data.zt4", newDataZt4},
               {"sub/", ""},
               {"sub/more.zt4", moreZt4},
               {"new/", ""},
               {"new/added.bin", "added file"},
               {".hidden", "dot file"}};

  ListBuilder list;
  list.Plain(0, "readme.txt", changedOld, "readme.txt", changedNew);
  s.payloads[0] = Delta({{4, "NEW"}, {165, "tail"}});
  list.Plain(1, "bin/tool.exe", binary, "bin/tool.exe", binary);
  s.payloads[1] = Delta({{0, ""}});
  list.Removed("gone.txt", "to be removed");
  list.Plain(2, so + "/" + data, "sjis old", so + "/" + data, "sjis NEW content");
  s.payloads[2] = Delta({{5, "NEW content"}});
  list.GroupBegin("data.zt4", newDataZt4)
      .Plain(3, "", "", "/n", "added member")
      .Plain(0, "data/a", "carried member", "a", "carried member")
      .Plain(4, "", "", "b", "new b")  // a changed member comes whole from its payload
      .Plain(0, "data/e", "", "e", "")
      .GroupEnd();  // /c is simply not among the children any more
  s.payloads[3] = "added member";
  s.payloads[4] = "new b";
  list.GroupBegin("sub/more.zt4", moreZt4)
      .Plain(0, "sub/more/x", more[0].second, "x", more[0].second)
      .Plain(0, "sub/more/y", more[1].second, "y", more[1].second)
      .GroupEnd();
  list.Plain(5, "", "", "new/added.bin", "added file");
  s.payloads[5] = "added file";
  list.Plain(6, ".hidden", "dot file", ".hidden", "dot file");
  s.payloads[6] = "";
  if (userFile) {
    s.oldTree["config.ini"] = "mine";
    s.newTree["config.ini"] = "defaults";
    list.Plain(7, "", "", "config.ini", "defaults");
    s.payloads[7] = "defaults";
  }
  if (linkedFolder) {
    s.oldTree["mods"] = "";  // a link, read as an item with nothing in it
    s.newTree["mods/"] = "";
    s.newTree["mods/x.txt"] = "new x";
    list.Plain(8, "", "", "mods/x.txt", "new x");
    s.payloads[8] = "new x";
  }
  s.list = list.Bytes();
  return s;
}

bool LayOutSample(const std::string& folder, SampleLayout* layout) {
  layout->sample = MakeSampleInstall();
  layout->program = folder + "/program";
  layout->target = folder + "/install";
  return WriteTree(layout->target, layout->sample.oldTree) &&
         Os().CreateFolderTree(layout->program.c_str()) != FolderResult::kFailed &&
         WritePatch(layout->program + "/patch.zt4", layout->sample.list, layout->sample.payloads);
}

}  // namespace zt4::test
