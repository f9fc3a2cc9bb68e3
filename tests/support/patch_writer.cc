#include "support/patch_writer.h"

#include "archive/archive.h"
#include "base/bytes.h"
#include "codec/sha1.h"
#include "base/stream.h"
#include "support/test_files.h"

namespace zt4::test {

std::string Sha1Of(const std::string& bytes) {
  char digest[41];
  Sha1Hex(bytes.data(), bytes.size(), digest);
  return digest;
}

ListBuilder& ListBuilder::Int(int32_t value) {
  writer_->Int(value);
  return *this;
}

ListBuilder& ListBuilder::Text(const std::string& text) {
  writer_->Raw(text.data(), static_cast<int32_t>(text.size())).Raw("", 1);
  return *this;
}

ListBuilder& ListBuilder::Plain(int32_t id, const std::string& oldName,
                                const std::string& oldContent, const std::string& newName,
                                const std::string& newContent) {
  writer_->Record(id, oldName.c_str(), static_cast<int32_t>(oldContent.size()),
                  oldName.empty() ? "" : Sha1Of(oldContent).c_str(), newName.c_str(),
                  static_cast<int32_t>(newContent.size()),
                  newName.empty() ? "" : Sha1Of(newContent).c_str());
  return *this;
}

ListBuilder& ListBuilder::GroupBegin(const std::string& newName, const std::string& archiveBytes) {
  writer_->GroupBegin(newName.c_str(), static_cast<int32_t>(archiveBytes.size()),
                      Sha1Of(archiveBytes).c_str());
  return *this;
}

ListBuilder& ListBuilder::GroupEnd() {
  writer_->GroupEnd();
  return *this;
}

std::string ListBuilder::Bytes() const {
  return std::string(reinterpret_cast<const char*>(writer_->Data()),
                     static_cast<size_t>(writer_->Size()));
}

std::string Delta(const std::vector<std::pair<uint32_t, std::string>>& records) {
  std::string out;
  for (const auto& [offset, data] : records) {
    uint8_t header[8];
    PutU32(header, offset);
    PutU32(header + 4, static_cast<uint32_t>(data.size()));
    out.append(reinterpret_cast<char*>(header), 8);
    out += data;
  }
  return out;
}

std::string ArchiveBytes(const Members& members) {
  MemoryStream bytes;
  ArchiveWriter writer;
  if (!bytes.CreateBlock(4096, true) || !writer.Create(&bytes)) return "";
  for (const auto& [name, content] : members) {
    if (!writer.Add(reinterpret_cast<const uint8_t*>(content.data()),
                    static_cast<uint32_t>(content.size()), PoolString(name.c_str()))) {
      return "";
    }
  }
  if (!writer.Finish()) return "";
  return std::string(reinterpret_cast<const char*>(bytes.Data()), static_cast<size_t>(bytes.Size()));
}

bool WritePatch(const std::string& path, const std::string& list,
                const std::map<int32_t, std::string>& payloads) {
  ArchiveWriter writer;
  if (!writer.Create(PoolString(path.c_str()))) return false;
  auto add = [&writer](const std::string& name, const std::string& content) {
    return writer.Add(reinterpret_cast<const uint8_t*>(content.data()),
                      static_cast<uint32_t>(content.size()), PoolString(name.c_str()));
  };
  for (const auto& [id, payload] : payloads) {
    if (!add("/" + std::to_string(id), payload)) return false;
  }
  return add("/list", list) && writer.Finish();
}

std::string DialogPath(const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

}  // namespace zt4::test
