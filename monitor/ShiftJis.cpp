#include "monitor/ShiftJis.h"

#include <cstddef>

namespace h8sx {

namespace {

#include "monitor/ShiftJisTable.inc"

constexpr std::uint8_t kFirstTrail = 0x40;
constexpr std::uint8_t kLastTrail = 0xFC;
constexpr std::uint8_t kFirstKana = 0xA1;
constexpr std::uint8_t kLastKana = 0xDF;
constexpr char32_t kKanaBase = 0xFF61;  // HALFWIDTH IDEOGRAPHIC FULL STOP, for 0xA1
constexpr std::size_t kLowLeads = 0x9F - 0x81 + 1;

}  // namespace

bool IsShiftJisLead(std::uint8_t byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

bool IsShiftJisTrail(std::uint8_t byte) { return byte >= kFirstTrail && byte <= kLastTrail && byte != 0x7F; }

char32_t ShiftJisPair(std::uint8_t lead, std::uint8_t trail) {
    if (!IsShiftJisLead(lead) || !IsShiftJisTrail(trail)) return 0;
    const std::size_t row = lead <= 0x9F ? lead - 0x81 : kLowLeads + (lead - 0xE0);
    return kShiftJisRows[row][trail - kFirstTrail];
}

char32_t ShiftJisSingle(std::uint8_t byte) {
    if (byte < 0x80) return byte;
    if (byte >= kFirstKana && byte <= kLastKana) return kKanaBase + (byte - kFirstKana);
    return kReplacementCharacter;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace h8sx
