// An archive's index as the file lists it: one record per member in file order, repeated
// names included (the reader's name table keeps one entry per name).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"

namespace zt4::tool {

struct IndexRecord {
  std::string name;  // CP932
  uint32_t storedSize = 0;
  uint32_t contentSize = 0;
  uint32_t offset = 0;
  uint32_t crc = 0;
};

// Opens the archive over `stream` (which it then owns) and gives its records in file
// order. False when the archive refuses the stream.
bool OpenWithRecords(Stream* stream, Archive* archive, std::vector<IndexRecord>* records);

}  // namespace zt4::tool
