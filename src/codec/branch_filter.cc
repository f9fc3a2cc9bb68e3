#include "codec/branch_filter.h"

#include <initializer_list>

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

// What a byte can be to the walk below: the first byte of a call or jump, a REX prefix,
// or an opcode whose ModRM may address memory relative to the next instruction with no
// immediate after the displacement: ADD, OR, AND, SUB, XOR, CMP, TEST, MOV, LEA, MOVSXD
// (each direction) and the FF group (CALL and JMP through memory among them). No such
// opcode is E8, E9 or a REX prefix, the bytes an instruction this walk knows begins with.
enum ByteRole : uint8_t { kOther = 0, kBranch = 1, kRex = 2, kRelativeMemory = 4 };

struct ByteRoles {
  uint8_t role[256] = {};
  constexpr ByteRoles() {
    role[0xE8] = role[0xE9] = kBranch;
    for (int b = 0x40; b <= 0x4F; ++b) role[b] = kRex;
    for (int b : {0x01, 0x03, 0x09, 0x0B, 0x21, 0x23, 0x29, 0x2B, 0x31, 0x33, 0x39, 0x3B, 0x63,
                  0x85, 0x89, 0x8B, 0x8D, 0xFF}) {
      role[b] = kRelativeMemory;
    }
  }
};
constexpr ByteRoles kRoles;

bool IsRelativeModRm(uint8_t modRm) { return (modRm & 0xC7) == 0x05; }

// Calls (E8) and operands relative to the next instruction behind a REX prefix become
// absolute; jumps (E9) are passed over as they are: most stay within their function,
// whose relative offsets a move keeps (made absolute, a 10 MB Go program's patch grew by
// 5 %).
template <bool kFilter>
void WalkAddresses(uint8_t* data, size_t size) {
  for (size_t i = 0; i + 5 <= size;) {
    const uint8_t first = data[i];
    size_t length = 0;
    if (kRoles.role[first] == kBranch) {
      length = 5;
    } else if (kRoles.role[first] == kRex && i + 7 <= size &&
               kRoles.role[data[i + 1]] == kRelativeMemory && IsRelativeModRm(data[i + 2])) {
      length = 7;
    }
    if (length == 0) {
      ++i;
      continue;
    }
    // The operand is the last four bytes, counted from the next instruction; it is passed
    // over whatever its form.
    const size_t at = i + length - 4;
    if (first != 0xE9 && (data[at + 3] == 0x00 || data[at + 3] == 0xFF)) {
      const uint32_t operand = GetU32(data + at);
      const auto next = static_cast<uint32_t>(i + length);
      PutU32(data + at, Spread(kFilter ? operand + next : operand - next));
    }
    i += length;
  }
}

}  // namespace

void FilterAddresses(uint8_t* data, size_t size) { WalkAddresses<true>(data, size); }

void UnfilterAddresses(uint8_t* data, size_t size) { WalkAddresses<false>(data, size); }

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
