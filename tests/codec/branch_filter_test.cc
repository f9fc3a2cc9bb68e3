// Branch targets made absolute: golden bytes of a call, a jump back and an operand of
// another form; any bytes come back exactly; a call block moved in a new build reads the
// same once filtered; the program check by headers.
#include "codec/branch_filter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace zt4 {
namespace {

std::vector<uint8_t> Of(const std::string& bytes) { return {bytes.begin(), bytes.end()}; }

// Golden bytes of both filters (branches only, and the wider one of x86-64 addresses): a
// call, a jump, an operand relative to the next instruction and operands of other forms;
// each comes back exactly.
TEST(BranchFilter, GoldenBytes) {
  const struct {
    bool addresses;
    const char* name;
    std::string in;
    std::string out;
  } cases[] = {
      // call +0x10 at 0: the target is 5 + 0x10.
      {false, "call", std::string("\xE8\x10\x00\x00\x00", 5),
       std::string("\xE8\x15\x00\x00\x00", 5)},
      // jmp -0x20 at 3: the target 8 - 0x20 = -0x18 (taken modulo 2^25, kept negative).
      {false, "jump back", std::string("\x90\x90\x90\xE9\xE0\xFF\xFF\xFF", 8),
       std::string("\x90\x90\x90\xE9\xE8\xFF\xFF\xFF", 8)},
      // An operand whose top byte is neither 00 nor FF is no branch of ours.
      {false, "other form", std::string("\xE8\x10\x00\x00\x12\x00", 6),
       std::string("\xE8\x10\x00\x00\x12\x00", 6)},
      // Cut short: no whole operand after the byte.
      {false, "cut", std::string("\x00\xE8\x10\x00\x00", 5),
       std::string("\x00\xE8\x10\x00\x00", 5)},
      // The operand of a call, of either form, is not read as an instruction.
      {false, "operand skipped", std::string("\xE8\xE8\x00\x00\x00\x00", 6),
       std::string("\xE8\xED\x00\x00\x00\x00", 6)},
      {false, "other operand skipped", std::string("\xE8\xE8\x00\x00\x12\x00\x00", 7),
       std::string("\xE8\xE8\x00\x00\x12\x00\x00", 7)},
      {true, "call", std::string("\xE8\x10\x00\x00\x00", 5),
       std::string("\xE8\x15\x00\x00\x00", 5)},
      {true, "jump kept", std::string("\xE9\x10\x00\x00\x00", 5),
       std::string("\xE9\x10\x00\x00\x00", 5)},
      // lea rax, [rip + 0x100] at 1: the address 8 + 0x100.
      {true, "lea", std::string("\x90\x48\x8D\x05\x00\x01\x00\x00", 8),
       std::string("\x90\x48\x8D\x05\x08\x01\x00\x00", 8)},
      // mov ecx, [rip - 0x10] behind REX.R (4C 8B 0D): the address 7 - 0x10.
      {true, "mov back", std::string("\x4C\x8B\x0D\xF0\xFF\xFF\xFF", 7),
       std::string("\x4C\x8B\x0D\xF7\xFF\xFF\xFF", 7)},
      // Not relative (ModRM 01 000 101), no REX before it, an opcode of another kind.
      {true, "base and offset", std::string("\x48\x8B\x45\x10\x00\x00\x00", 7),
       std::string("\x48\x8B\x45\x10\x00\x00\x00", 7)},
      {true, "no prefix", std::string("\x90\x8B\x05\x10\x00\x00\x00", 7),
       std::string("\x90\x8B\x05\x10\x00\x00\x00", 7)},
      {true, "other opcode", std::string("\x48\xC7\x05\x10\x00\x00\x00", 7),
       std::string("\x48\xC7\x05\x10\x00\x00\x00", 7)},
      // The displacement passed over: the call inside it is no call.
      {true, "operand skipped", std::string("\x48\x8D\x05\xE8\x00\x00\x00\x00\x00", 9),
       std::string("\x48\x8D\x05\xEF\x00\x00\x00\x00\x00", 9)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = Of(c.in);
    (c.addresses ? FilterAddresses : FilterBranches)(bytes.data(), bytes.size());
    EXPECT_EQ(bytes, Of(c.out));
    (c.addresses ? UnfilterAddresses : UnfilterBranches)(bytes.data(), bytes.size());
    EXPECT_EQ(bytes, Of(c.in));
  }
}

TEST(BranchFilter, AnyBytesComeBackAndMovedCallsReadTheSame) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    // Bytes dense in E8/E9 and in 00/FF, where the decisions are taken.
    std::vector<uint8_t> bytes(static_cast<size_t>(random() % 3000));
    const uint8_t common[] = {0xE8, 0xE9, 0x00, 0xFF, 0x48, 0x8B, 0x05, 0x8D};
    for (uint8_t& b : bytes) {
      b = random() % 2 ? common[random() % 8] : static_cast<uint8_t>(random());
    }
    std::vector<uint8_t> filtered = bytes;
    FilterBranches(filtered.data(), filtered.size());
    UnfilterBranches(filtered.data(), filtered.size());
    ASSERT_EQ(filtered, bytes) << round;
    FilterAddresses(filtered.data(), filtered.size());
    UnfilterAddresses(filtered.data(), filtered.size());
    ASSERT_EQ(filtered, bytes) << round;
  }
  // Calls to fixed targets (0x5000, 0x6000), 37 bytes further on in the new build: their
  // relative bytes all differ, their filtered bytes are the same.
  auto build = [](size_t shift) {
    std::vector<uint8_t> code(0x7000, 0x90);
    for (size_t n = 0, at = 0x100 + shift; at < 0x4000; ++n, at += 0x40) {
      const uint32_t target = n % 2 ? 0x5000 : 0x6000;
      const uint32_t rel = target - static_cast<uint32_t>(at + 5);
      code[at] = 0xE8;
      for (int i = 0; i < 4; ++i) code[at + 1 + i] = static_cast<uint8_t>(rel >> (8 * i));
    }
    return code;
  };
  std::vector<uint8_t> before = build(0);
  std::vector<uint8_t> after = build(37);
  EXPECT_NE(std::vector<uint8_t>(before.begin() + 0x100, before.begin() + 0x4000),
            std::vector<uint8_t>(after.begin() + 0x100 + 37, after.begin() + 0x4000 + 37));
  FilterBranches(before.data(), before.size());
  FilterBranches(after.data(), after.size());
  EXPECT_EQ(std::vector<uint8_t>(before.begin() + 0x100, before.begin() + 0x3F00),
            std::vector<uint8_t>(after.begin() + 0x100 + 37, after.begin() + 0x3F00 + 37));
}

TEST(BranchFilter, ProgramsAreKnownByTheirHeaders) {
  std::string pe(256, '\0');
  pe[0] = 'M';
  pe[1] = 'Z';
  pe[60] = static_cast<char>(0x80);
  pe.replace(0x80, 6, std::string("PE\0\0\x64\x86", 6));
  std::string elf(64, '\0');
  elf.replace(0, 6,
              std::string("\x7F"
                          "ELF\x02\x01",
                          6));
  elf[18] = 62;
  const struct {
    const char* name;
    std::string bytes;
    bool program;
  } cases[] = {
      {"PE x86-64", pe, true},
      {"PE for ARM64", std::string(pe).replace(0x84, 2, std::string("\x64\xAA", 2)), false},
      {"MZ without PE", std::string(pe).replace(0x80, 2, "NE"), false},
      {"PE offset past the end", std::string(pe).replace(60, 1, "\xF0"), false},
      {"ELF x86-64", elf, true},
      {"ELF big-endian", std::string(elf).replace(5, 1, "\x02"), false},
      {"text", "MZ is a pair of letters", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LooksLikeX86Program(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()),
              c.program)
        << c.name;
  }
}

}  // namespace
}  // namespace zt4
