// A platform that passes every call to the native one. Code that must change one
// behaviour derives from it (a quiet console for a check run by a tool; in the tests the
// executable's path, a scripted dialog, an injected fault) and installs it with
// ScopedPlatform.
#pragma once

#include "platform/platform.h"

namespace zt4 {

class ForwardingPlatform : public Platform {
 public:
  FileHandle OpenFile(const char* path, int mode) override { return Base().OpenFile(path, mode); }
  void CloseFile(FileHandle file) override { Base().CloseFile(file); }
  int32_t ReadFile(FileHandle file, void* buffer, int32_t count) override {
    return Base().ReadFile(file, buffer, count);
  }
  bool WriteFile(FileHandle file, const void* data, int32_t count) override {
    return Base().WriteFile(file, data, count);
  }
  int64_t SeekFile(FileHandle file, int64_t offset, int origin) override {
    return Base().SeekFile(file, offset, origin);
  }
  int64_t FileSize(FileHandle file) override { return Base().FileSize(file); }
  bool FlushFile(FileHandle file) override { return Base().FlushFile(file); }
  bool DeleteFile(const char* path) override { return Base().DeleteFile(path); }
  bool ForEachFolderItem(const char* folder, FolderItemSink sink, void* user) override {
    return Base().ForEachFolderItem(folder, sink, user);
  }
  FolderResult CreateFolder(const char* path) override { return Base().CreateFolder(path); }
  FolderResult CreateFolderTree(const char* path) override {
    return Base().CreateFolderTree(path);
  }
  bool MoveItem(const char* from, const char* to) override { return Base().MoveItem(from, to); }
  bool ReplaceFile(const char* from, const char* to) override {
    return Base().ReplaceFile(from, to);
  }
  bool RemoveFolder(const char* path) override { return Base().RemoveFolder(path); }
  bool FlushFolder(const char* path) override { return Base().FlushFolder(path); }
  int64_t FreeSpace(const char* path) override { return Base().FreeSpace(path); }
  bool ExecutablePath(char* buffer, int capacity) override {
    return Base().ExecutablePath(buffer, capacity);
  }
  bool CurrentFolder(char* buffer, int capacity) override {
    return Base().CurrentFolder(buffer, capacity);
  }
  void OpenConsole() override { Base().OpenConsole(); }
  void ConsoleWrite(const char* text) override { Base().ConsoleWrite(text); }
  void DebugOutput(const char* text) override { Base().DebugOutput(text); }
  int MessageBox(const char* text, const char* caption, unsigned style) override {
    return Base().MessageBox(text, caption, style);
  }
  bool ChooseFolder(const char* title, char* path) override {
    return Base().ChooseFolder(title, path);
  }
  const char* LastFailure() override { return Base().LastFailure(); }

 protected:
  static Platform& Base() { return NativePlatform(); }
};

// Installs a platform for the lifetime of the scope.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform* platform) : previous_(InstallPlatform(platform)) {}
  ~ScopedPlatform() { InstallPlatform(previous_); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  Platform* previous_;
};

}  // namespace zt4
