// Hand-built update descriptions and patch archives for tests: exact control over every
// record, so tests can make both good and damaged patches without the builder.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "update/patch_list_writer.h"

namespace zt4::test {

std::string Sha1Of(const std::string& bytes);

// The bytes of a description, record by record, in file order, made by the system's own
// writer from contents (their sizes and digests are computed).
class ListBuilder {
 public:
  ListBuilder& Int(int32_t value);
  ListBuilder& Text(const std::string& text);
  // A plain record (also used for group members).
  ListBuilder& Plain(int32_t id, const std::string& oldName, const std::string& oldContent,
                     const std::string& newName, const std::string& newContent);
  ListBuilder& Removed(const std::string& oldName, const std::string& oldContent) {
    return Plain(0, oldName, oldContent, "", "");
  }
  ListBuilder& GroupBegin(const std::string& newName, const std::string& archiveBytes);
  ListBuilder& GroupEnd();
  std::string Bytes() const;

 private:
  std::unique_ptr<PatchListWriter> writer_ = std::make_unique<PatchListWriter>();
};

// A delta payload: records (offset, data) back to back.
std::string Delta(const std::vector<std::pair<uint32_t, std::string>>& records);

// The bytes of an archive holding the members in this order.
using Members = std::vector<std::pair<std::string, std::string>>;
std::string ArchiveBytes(const Members& members);

// Writes patch.zt4: "/list" and "/<id>" payloads.
bool WritePatch(const std::string& path, const std::string& list,
                const std::map<int32_t, std::string>& payloads);

// A folder path as the folder dialog hands it over: '\' separators (the applier joins
// names with '/', so the two never mix).
std::string DialogPath(const std::string& path);

}  // namespace zt4::test
