// Texts crossing the platform edge. Inside the program every name and text is Shift-JIS
// (CP932) bytes; the OS speaks UTF-16 (Windows) or UTF-8 (POSIX), which hold characters
// Shift-JIS lacks. Such a character in a name the OS hands over (the folder the user
// picked, the program's own path, an item of a listing) is carried inside as the mark
// 0xFF followed by the four upper-case hex digits of its UTF-16 unit (é: FF "00E9"), and
// the edge turns it back into the same character. A Unicode character beyond the first
// plane takes two forms, one per surrogate; on POSIX a byte that is not UTF-8 is carried
// as the lone surrogate DC80 + byte, so every name of the disk comes back unchanged.
//
// The mark is no CP932 character and neither a lead nor a trail byte, and the digits are
// ASCII: the form never holds a separator and never joins a neighbour into a double-byte
// character. Names of a patch never hold the mark (the reader refuses them), so no name
// of a patch is ever read as the form.
//
// Portable: each platform supplies the two exact conversions of plain CP932 runs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt4 {

// The byte that starts the form. It is no CP932 character and neither a lead nor a trail
// byte; a name of a patch never holds it.
inline constexpr uint8_t kForeignMark = 0xFF;

// Room for a path in UTF-16 units, and in internal bytes once converted (a character
// Shift-JIS lacks takes five).
inline constexpr int kEdgeUnits = 4096;
inline constexpr int kEdgeBytes = kEdgeUnits * 5 + 1;

// CP932 bytes, forms included -> UTF-16 units and a terminating zero. Returns the count
// of units (without the zero), or -1 when the text does not convert or fit.
int EdgeToUnits(const char* text, char16_t* out, int capacity);
// UTF-16 units -> CP932 bytes and a terminating zero, a character without an exact CP932
// form carried as the form. Returns the length, or -1 when it does not fit.
int EdgeFromUnits(const char16_t* units, int count, char* out, int capacity);

// UTF-8 <-> UTF-16 for the POSIX edge. A byte that is not part of valid UTF-8 becomes the
// lone surrogate DC80 + byte, and goes back as that byte. Both write a terminating zero and
// return the count written without it, or -1 when it does not fit.
int Utf8ToUnits(const char* text, char16_t* out, int capacity);
int UnitsToUtf8(const char16_t* units, int count, char* out, int capacity);

// --- supplied by each platform ----------------------------------------------------------

// Plain CP932 bytes (no mark) -> UTF-16 units as the OS's code page 932 reads them; the
// count, or -1 when they do not convert or fit. No zero is written.
int Cp932RunToUnits(const char* bytes, int count, char16_t* out, int capacity);
// UTF-16 units -> CP932 bytes, only when every unit has a CP932 form (no nearest
// character put in its place); the length, or -1. No zero is written.
int UnitsToCp932Run(const char16_t* units, int count, char* out, int capacity);

}  // namespace zt4
