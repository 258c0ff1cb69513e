#include "monitor/ReceiveText.h"

#include <algorithm>

#include "monitor/ShiftJis.h"

namespace h8sx {

std::string ReceiveText::Take(const std::uint8_t* bytes, std::size_t n) {
    std::string out;
    // The text of one read ends at its first zero byte.
    const std::size_t end = static_cast<std::size_t>(std::find(bytes, bytes + n, std::uint8_t{0}) - bytes);
    for (std::size_t i = 0; i < end; ++i) {
        const std::uint8_t b = bytes[i];
        if (pendingLead_ != 0) {
            const std::uint8_t lead = pendingLead_;
            pendingLead_ = 0;
            if (const char32_t c = ShiftJisPair(lead, b)) {
                AppendUtf8(out, c);
                continue;
            }
            AppendUtf8(out, kReplacementCharacter);
            // A pair in the double-byte ranges that is no character goes as one; an ASCII
            // byte (a line end above all) after a lead byte is still itself.
            if (IsShiftJisTrail(b) && b >= 0x80) continue;
        }
        if (b == '\r') {
            // CR LF in one read is one line end. A CR that ends a read has already become
            // a line end when the next read starts with LF, so that LF is a second one.
            out += '\n';
            if (i + 1 < end && bytes[i + 1] == '\n') ++i;
        } else if (b == '\n') {
            out += '\n';
        } else if (IsShiftJisLead(b)) {
            pendingLead_ = b;  // its trail byte may come with the next read
        } else {
            AppendUtf8(out, ShiftJisSingle(b));
        }
    }
    // A zero byte right after a lead byte: the lead byte shows as what it is, no character.
    if (end < n && pendingLead_ != 0) {
        pendingLead_ = 0;
        AppendUtf8(out, kReplacementCharacter);
    }
    return out;
}

}  // namespace h8sx
