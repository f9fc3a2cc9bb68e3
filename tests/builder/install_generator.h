// Generated pairs of installs: an old version with plain files, Shift-JIS names (several
// with 0x5C trail bytes), subfolders and archives, and a next version with files
// changed, cut, emptied, removed and added, and archives whose members are added,
// removed, changed, emptied and reordered, archives that disappear and new ones.
#pragma once

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <utility>

#include "builder/builder_fixture.h"

namespace zt4::test {

// ソフト, 表, 能力, データ.
inline constexpr char kSoft[] = "\x83\x5C\x83\x74\x83\x67";
inline constexpr char kHyou[] = "\x95\x5C";
inline constexpr char kNouryoku[] = "\x94\x5C\x97\xCD";
inline constexpr char kData[] = "\x83\x66\x81\x5B\x83\x5E";

inline std::string Text(const char* a, const std::string& b) { return std::string(a) + b; }

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  std::string Content() {
    switch (Pick(6)) {
      case 0:
        return "";
      case 1:
        return std::string(Pick(40), static_cast<char>('a' + Pick(26)));
      case 2:
        return RandomBytes(Pick(3000));
      default: {
        std::string text;
        int words = static_cast<int>(Pick(200));
        for (int i = 0; i < words; ++i) text += kWords[Pick(8)];
        return text;
      }
    }
  }

  std::string FileName() {
    static const char* const kNames[] = {"a.txt", "readme", "data.bin", "x", "zz.dat"};
    std::string name = Pick(3) == 0 ? Text(kSjisNames[Pick(4)], ".bin") : kNames[Pick(5)];
    switch (Pick(4)) {
      case 0:
        return "sub/" + name;
      case 1:
        return Text(kSjisNames[Pick(4)], "/" + name);
      case 2:
        return "deep/er/" + name;
      default:
        return name;
    }
  }

  Members ArchiveMembers() {
    Members members;
    int count = static_cast<int>(Pick(8));
    std::map<std::string, bool> used;
    for (int i = 0; i < count; ++i) {
      std::string name = MemberName();
      if (used[name]) continue;
      used[name] = true;
      members.emplace_back(name, Pick(4) == 0 ? std::string() : Content());
    }
    return members;
  }

  Members Mutate(Members members) {
    switch (Pick(6)) {
      case 0:
        break;  // unchanged
      case 1:
        if (!members.empty())
          members.erase(members.begin() + static_cast<long>(Pick(members.size())));
        break;
      case 2: {
        std::string name = MemberName();
        bool present = false;
        for (const auto& member : members) present = present || member.first == name;
        if (!present)
          members.insert(members.begin() + static_cast<long>(Pick(members.size() + 1)),
                         {name, Content()});
        break;
      }
      case 3:
        if (!members.empty()) members[Pick(members.size())].second = Content();
        break;
      case 4:
        std::shuffle(members.begin(), members.end(), random_);
        break;
      default:
        if (!members.empty()) members[Pick(members.size())].second.clear();
        break;
    }
    return members;
  }

  std::string Edit(std::string content) {
    switch (Pick(5)) {
      case 0:
        return content;
      case 1:
        for (int i = 0, n = static_cast<int>(Pick(5)); i < n && !content.empty(); ++i) {
          content[Pick(content.size())] = static_cast<char>(Pick(256));
        }
        return content;
      case 2:
        return content + Content();
      case 3:
        return content.substr(0, Pick(content.size() + 1));
      default:
        return Content();
    }
  }

  // An old install and the next version of it.
  std::pair<Tree, Tree> Pair() {
    Tree oldTree;
    std::map<std::string, Members> oldArchives;
    int files = 1 + static_cast<int>(Pick(12));
    for (int i = 0; i < files; ++i) oldTree[FileName()] = Content();
    int archives = static_cast<int>(Pick(4));
    for (int i = 0; i < archives; ++i) oldArchives[ArchiveName()] = ArchiveMembers();
    for (const auto& [name, members] : oldArchives) oldTree[name] = ArchiveBytes(members);

    Tree newTree;
    for (const auto& [name, content] : oldTree) {
      if (oldArchives.count(name)) continue;
      if (Pick(6) == 0) continue;  // removed
      newTree[name] = Edit(content);
    }
    for (const auto& [name, members] : oldArchives) {
      if (Pick(6) == 0) continue;  // the archive disappears
      newTree[name] = ArchiveBytes(Mutate(members));
    }
    for (int i = 0, n = static_cast<int>(Pick(4)); i < n; ++i) newTree[FileName()] = Content();
    if (Pick(3) == 0) newTree[ArchiveName()] = ArchiveBytes(ArchiveMembers());
    // A file and a folder cannot share a name: drop files that are a folder elsewhere.
    for (Tree* tree : {&oldTree, &newTree}) {
      for (auto it = tree->begin(); it != tree->end();) {
        bool folder = false;
        for (const auto& [other, content] : *tree) {
          folder = folder || other.compare(0, it->first.size() + 1, it->first + "/") == 0;
        }
        it = folder ? tree->erase(it) : std::next(it);
      }
    }
    return {oldTree, newTree};
  }

 private:
  static constexpr const char* kWords[8] = {
      "alpha ", "beta ", "gamma\n", "delta ", "\x83\x66\x81\x5B\x83\x5E ", "0123456789", "  ", "x"};
  static constexpr const char* kSjisNames[4] = {kSoft, kHyou, kNouryoku, kData};

  size_t Pick(size_t n) { return n == 0 ? 0 : random_() % n; }

  std::string RandomBytes(size_t n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(random_() % 7);
    return bytes;
  }

  std::string MemberName() {
    static const char* const kMembers[] = {"/m0", "/m1", "/m2.dat", "/empty", "/dir/inner"};
    return Pick(4) == 0 ? Text("/", kSjisNames[Pick(4)]) : kMembers[Pick(5)];
  }

  std::string ArchiveName() {
    static const char* const kArchives[] = {"data.zt4", "sub/pack.zt4", "music.zt4"};
    return Pick(4) == 0 ? Text(kSjisNames[Pick(4)], ".zt4") : kArchives[Pick(3)];
  }

  std::mt19937 random_;
};

}  // namespace zt4::test
