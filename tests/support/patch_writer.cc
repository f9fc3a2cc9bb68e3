#include "support/patch_writer.h"

#include "archive/archive.h"
#include "base/bytes.h"
#include "codec/sha1.h"
#include "support/test_files.h"

namespace zt4::test {

std::string Sha1Of(const std::string& bytes) {
  char digest[41];
  Sha1Hex(bytes.data(), bytes.size(), digest);
  return digest;
}

ListBuilder& ListBuilder::Int(int32_t value) {
  uint8_t raw[4];
  PutU32(raw, static_cast<uint32_t>(value));
  bytes_.append(reinterpret_cast<char*>(raw), 4);
  return *this;
}

ListBuilder& ListBuilder::Text(const std::string& text) {
  bytes_ += text;
  bytes_ += '\0';
  return *this;
}

ListBuilder& ListBuilder::Plain(int32_t id, const std::string& oldName,
                                const std::string& oldContent, const std::string& newName,
                                const std::string& newContent) {
  Int(id);
  Text(oldName).Int(static_cast<int32_t>(oldContent.size()));
  Text(oldName.empty() ? "" : Sha1Of(oldContent));
  Text(newName).Int(static_cast<int32_t>(newContent.size()));
  Text(newName.empty() ? "" : Sha1Of(newContent));
  return *this;
}

ListBuilder& ListBuilder::GroupBegin(const std::string& newName, const std::string& archiveBytes) {
  Int(-1).Text("@ZT4_COPY").Text(newName).Int(static_cast<int32_t>(archiveBytes.size()));
  return Text(Sha1Of(archiveBytes));
}

ListBuilder& ListBuilder::GroupEnd() { return Int(-1).Text("@END"); }

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
  TempFolder folder;
  std::string path = folder / "a.zt4";
  {
    ArchiveWriter writer;
    if (!writer.Create(PoolString(path.c_str()))) return "";
    for (const auto& [name, content] : members) {
      writer.Add(reinterpret_cast<const uint8_t*>(content.data()),
                 static_cast<uint32_t>(content.size()), PoolString(name.c_str()));
    }
    if (!writer.Finish()) return "";
  }
  std::string bytes;
  ReadFile(path, &bytes);
  return bytes;
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
