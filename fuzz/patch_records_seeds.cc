// Writes the seed corpus of patch_records_fuzz into the folder named on the command line:
// the budget (4 bytes, little-endian, its top bit set for a description of the latest
// version) and the records of compact_seed_records.h, each
// also with the records cut in the middle and doubled. Every whole seed is coded and
// parsed first: one not taken (or refused) as meant fails the program.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "compact_seed_records.h"
#include "seed_corpus.h"
#include "update/patch_list.h"
#include "update/patch_list_writer.h"

namespace {

int seedCount = 0;
bool failed = false;

void Write(const std::filesystem::path& folder, int32_t budget, bool wide,
           const std::string& records) {
  const uint32_t head = static_cast<uint32_t>(budget) | (wide ? 0x80000000u : 0u);
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>(head >> (8 * i));
  bytes += records;
  if (!zt4::fuzz::WriteSeedFile(folder, bytes.data(), bytes.size(), &seedCount)) failed = true;
}

bool Accepted(int32_t budget, bool wide, const std::string& records) {
  zt4::PatchListWriter writer;
  writer.CompactHead(budget, reinterpret_cast<const uint8_t*>(records.data()),
                     static_cast<int32_t>(records.size()),
                     wide ? zt4::kRunCompactVersion : zt4::kCompactVersion);
  if (!writer.Ok()) return false;
  zt4::PatchEntry* head = zt4::ParsePatchList(writer.Data(), writer.Size());
  const bool accepted = head != nullptr;
  zt4::FreePatchList(head);
  return accepted;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path folder;
  if (int status = zt4::fuzz::OpenCorpusFolder(argc, argv, "patch_records_seeds", &folder)) {
    return status;
  }
  for (const zt4::fuzz::CompactSeed& seed : zt4::fuzz::CompactSeeds()) {
    if (Accepted(seed.budget, seed.latest, seed.records) != seed.valid) {
      std::fprintf(stderr, "seed %d is %s\n", seedCount, seed.valid ? "refused" : "accepted");
      failed = true;
    }
    Write(folder, seed.budget, seed.latest, seed.records);
    if (!seed.valid) continue;
    Write(folder, seed.budget, seed.latest, seed.records.substr(0, seed.records.size() / 2));
    Write(folder, seed.budget, seed.latest, seed.records + seed.records);
  }
  if (failed) {
    std::fprintf(stderr, "cannot write the seeds as meant\n");
    return 1;
  }
  std::printf("%d seeds written\n", seedCount);
  return 0;
}
