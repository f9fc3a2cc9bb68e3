// Relative call and jump targets of x86 code made absolute, and back. When code moves in
// a new build, a call whose target moved with it keeps its relative bytes, but a call
// into code that stayed changes them; made absolute, every call to the same place reads
// the same, before and after the build, wherever the call now stands.
//
// Each E8 (call) or E9 (jmp) byte is taken as an instruction with a 32-bit operand when
// the operand's top byte is 00 or FF (a target within 16 MiB, as a branch's is): the
// operand becomes the target's offset from the start of the data, modulo 2^25, written
// back in the same form (top byte 00 or FF). An operand of another form is left as it
// is; either way the scan goes on after it. The bytes where instructions are read do
// not change and an operand keeps its form both ways, so UnfilterBranches undoes
// FilterBranches exactly on any bytes whatever; on data that is not code it changes a
// few bytes to others.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt4 {

void FilterBranches(uint8_t* data, size_t size);
void UnfilterBranches(uint8_t* data, size_t size);

// The same for x86-64 code's calls (E8) and operands addressed relative to the next
// instruction (a REX prefix, MOV, LEA, MOVSXD, CALL/JMP through memory or common
// arithmetic, ModRM 00 xxx 101, a 32-bit displacement), which follow the data they
// address when code moves; jumps (E9) are passed over unchanged. An instruction is known
// by bytes no operand of a later one can reach (its second byte never begins one), and
// its operand is passed over whatever its form, so that the two stay exact inverses on
// any bytes.
void FilterAddresses(uint8_t* data, size_t size);
void UnfilterAddresses(uint8_t* data, size_t size);

// A Windows or Linux program for x86 or x86-64: a PE or ELF image by its headers.
bool LooksLikeX86Program(const uint8_t* data, size_t size);

}  // namespace zt4
