// Shift-JIS as the board sends its Japanese (code page 932 as Windows has it): ASCII,
// half-width katakana 0xA1-0xDF, and double-byte characters whose lead byte is 0x81-0x9F
// or 0xE0-0xFC and whose trail byte is 0x40-0x7E or 0x80-0xFC.
#pragma once

#include <cstdint>
#include <string>

namespace h8sx {

// What a byte or a pair that is no character shows as.
inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// True for a byte that opens a double-byte character.
bool IsShiftJisLead(std::uint8_t byte);
// True for a byte that may close one.
bool IsShiftJisTrail(std::uint8_t byte);
// The character of a lead byte and the byte after it; 0 when the pair is no character.
char32_t ShiftJisPair(std::uint8_t lead, std::uint8_t trail);
// The character of a byte that stands alone (not a lead byte): ASCII as it is, half-width
// katakana, U+FFFD for 0x80, 0xA0 and 0xFD-0xFF.
char32_t ShiftJisSingle(std::uint8_t byte);

// Appends the UTF-8 form of `c`.
void AppendUtf8(std::string& out, char32_t c);
// Appends the Shift-JIS form of `c`, the reverse of the two above: ASCII as it is, half-width
// katakana as one byte, the rest as a pair. False, and nothing appended, when the code page
// has no form for `c`.
bool AppendShiftJis(std::string& out, char32_t c);

}  // namespace h8sx
