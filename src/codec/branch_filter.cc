#include "codec/branch_filter.h"

#include "base/bytes.h"

namespace zt4 {
namespace {

constexpr uint32_t kHalf = uint32_t{1} << 24;     // the targets a filtered operand reaches
constexpr uint32_t kSpan = uint32_t{1} << 25;     // both ways

// A 25-bit residue written as a 32-bit operand whose top byte is 00 or FF.
uint32_t Spread(uint32_t value) { return ((value + kHalf) & (kSpan - 1)) - kHalf; }

template <bool kFilter>
void Walk(uint8_t* data, size_t size) {
  if (size < 5) return;
  for (size_t i = 0; i + 5 <= size; ++i) {
    if ((data[i] & 0xFE) != 0xE8) continue;
    // The four bytes after the opcode are its operand whatever its form: were a later
    // instruction read among them, its change could alter this one's top byte.
    if (data[i + 4] == 0x00 || data[i + 4] == 0xFF) {
      const auto next = static_cast<uint32_t>(i + 5);  // where the branch counts from
      const uint32_t operand = GetU32(data + i + 1);
      PutU32(data + i + 1, Spread(kFilter ? operand + next : operand - next));
    }
    i += 4;
  }
}

}  // namespace

void FilterBranches(uint8_t* data, size_t size) { Walk<true>(data, size); }

void UnfilterBranches(uint8_t* data, size_t size) { Walk<false>(data, size); }

bool LooksLikeX86Program(const uint8_t* data, size_t size) {
  // ELF: the machine at 18 (little-endian images): 3 is x86, 62 x86-64.
  if (size >= 20 && data[0] == 0x7F && data[1] == 'E' && data[2] == 'L' && data[3] == 'F' &&
      data[5] == 1) {
    const uint16_t machine = GetU16(data + 18);
    return machine == 3 || machine == 62;
  }
  // PE: "MZ", the offset of "PE\0\0" at 60, the machine after it: 0x14C is x86, 0x8664
  // x86-64.
  if (size < 64 || data[0] != 'M' || data[1] != 'Z') return false;
  const uint32_t pe = GetU32(data + 60);
  if (pe > size || size - pe < 6 || GetU32(data + pe) != 0x00004550u) return false;
  const uint16_t machine = GetU16(data + pe + 4);
  return machine == 0x14C || machine == 0x8664;
}

}  // namespace zt4
