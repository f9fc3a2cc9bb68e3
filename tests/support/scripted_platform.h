// A platform whose user is a script: console and debugger lines are collected, message
// boxes are answered from a queue (and written to standard error as "box:<hex of text>",
// so a death test can match the stop it expects), the folder dialog returns a set folder
// (and writes "dialog" on standard error), and the program lives where `executable` says.
#pragma once

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "platform/forwarding_platform.h"

namespace zt4::test {

inline std::string HexOf(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// What a death test expects on standard error for a box showing `text`.
inline std::string BoxPattern(const char* text) { return "box:" + HexOf(text); }

class ScriptedPlatform : public ForwardingPlatform {
 public:
  std::string console;
  std::string debug;
  std::deque<int> answers;  // answers of Yes/No boxes; No when empty
  std::string boxes;        // every box text, one per line, as hex
  std::string folder;       // what the folder dialog returns; empty: cancelled
  std::string executable;   // the program's own path; empty: the real one

  bool ExecutablePath(char* buffer, int capacity) override {
    if (executable.empty()) return ForwardingPlatform::ExecutablePath(buffer, capacity);
    if (executable.size() >= static_cast<size_t>(capacity)) return false;
    std::memcpy(buffer, executable.c_str(), executable.size() + 1);
    return true;
  }
  void OpenConsole() override {}
  void ConsoleWrite(const char* text) override { console += text; }
  // Also on standard error, so a death test can see the digests of a mismatch.
  void DebugOutput(const char* text) override {
    debug += text;
    std::fputs(text, stderr);
  }
  int MessageBox(const char* text, const char* /*caption*/, unsigned style) override {
    boxes += HexOf(text) + "\n";
    std::fprintf(stderr, "box:%s\n", HexOf(text).c_str());
    std::fflush(stderr);
    if ((style & 0xF) != 0x4) return kAnswerOk;
    if (answers.empty()) return kAnswerNo;
    int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  bool ChooseFolder(const char* /*title*/, char* path) override {
    std::fputs("dialog\n", stderr);  // lets a death test see whether the dialog came up
    if (folder.empty() || folder.size() >= static_cast<size_t>(kMaxPath)) return false;
    std::memcpy(path, folder.c_str(), folder.size() + 1);
    return true;
  }
};

}  // namespace zt4::test
