// The summary of a build, as lines for the user.
#include <cstdio>

#include "zt4mkpatch/builder_parts.h"

namespace zt4::builder {

std::string Megabytes(uint64_t bytes) {
  char text[32];
  if (bytes < 10000) {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes < 10000000) {
    std::snprintf(text, sizeof text, "%.1f kB", static_cast<double>(bytes) / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  }
  return text;
}

std::string FormatSummary(const BuildSummary& s) {
  int entries = s.changed + s.added + s.removed + s.groups;
  std::string text = std::to_string(entries) + " entries: " + std::to_string(s.changed) +
                     " changed (" + std::to_string(s.unchanged) + " of them unchanged, " +
                     std::to_string(s.rebased) + " from another old file), " +
                     std::to_string(s.added) + " added, " + std::to_string(s.removed) +
                     " removed, " + std::to_string(s.groups) + " archives rebuilt (" +
                     std::to_string(s.membersCarried) + " members carried over, " +
                     std::to_string(s.membersFromPatch) + " from the patch)";
  if (s.archivesAsFiles > 0) {
    text += ", " + std::to_string(s.archivesAsFiles) + " archives shipped as files";
  }
  if (s.compact) {
    char budget[32];
    std::snprintf(budget, sizeof budget, "%.0f MiB", static_cast<double>(s.budget) / (1 << 20));
    text += "\ncompact: " + std::to_string(s.copies) + " contents copied, " +
            std::to_string(s.frames) + " made from zstd frames (" + std::to_string(s.diffs) +
            " of an approximate-match diff, " + std::to_string(s.branches) +
            " of a program with its branch targets made absolute), " + std::to_string(s.segmented) +
            " in segments, against " +
            std::to_string(s.references) + " references (" + std::to_string(s.earlierMembers) +
            " of them earlier members of the same archive), " + std::to_string(s.folders) +
            " empty folders; memory budget " + budget;
  }
  text += "\npayloads: " + std::to_string(s.payloads) + " members, " + Megabytes(s.payloadBytes) +
          " before coding\npatch: " + Megabytes(s.patchBytes);
  if (s.newBytes > 0) {
    char ratio[64];
    std::snprintf(ratio, sizeof ratio, " = %.2f%% of the new install (%s)",
                  100.0 * static_cast<double>(s.patchBytes) / static_cast<double>(s.newBytes),
                  Megabytes(s.newBytes).c_str());
    text += ratio;
  }
  if (!s.warnings.empty()) text += "\nwarnings: " + std::to_string(s.warnings.size());
  return text + "\n";
}

}  // namespace zt4::builder
