#include "monitor/SendText.h"

#include "monitor/ShiftJis.h"

namespace h8sx {

std::string SendText::Take(std::string_view utf8) {
    std::string out;
    for (const char ch : utf8) {
        const auto b = static_cast<unsigned char>(ch);
        if (missing_ > 0) {
            if (b >= low_ && b <= high_) {
                code_ = (code_ << 6) | (b & 0x3F);
                low_ = 0x80;
                high_ = 0xBF;
                if (--missing_ == 0 && !AppendShiftJis(out, code_)) Drop(code_);
                continue;
            }
            // Broken off: what came so far is no character, and this byte begins afresh.
            missing_ = 0;
            Drop(kReplacementCharacter);
        }
        // The second byte's range excludes overlong forms (after E0, F0), surrogates (after
        // ED) and what lies beyond U+10FFFF (after F4).
        if (b < 0x80) {
            out += ch;
        } else if (b >= 0xC2 && b <= 0xDF) {
            code_ = b & 0x1F;
            missing_ = 1;
            low_ = 0x80;
            high_ = 0xBF;
        } else if (b >= 0xE0 && b <= 0xEF) {
            code_ = b & 0x0F;
            missing_ = 2;
            low_ = b == 0xE0 ? 0xA0 : 0x80;
            high_ = b == 0xED ? 0x9F : 0xBF;
        } else if (b >= 0xF0 && b <= 0xF4) {
            code_ = b & 0x07;
            missing_ = 3;
            low_ = b == 0xF0 ? 0x90 : 0x80;
            high_ = b == 0xF4 ? 0x8F : 0xBF;
        } else {
            Drop(kReplacementCharacter);  // a continuation byte alone, C0, C1, F5-FF
        }
    }
    return out;
}

void SendText::Finish() {
    if (missing_ == 0) return;
    missing_ = 0;
    Drop(kReplacementCharacter);
}

void SendText::Drop(char32_t c) {
    if (unsent_++ == 0) firstUnsent_ = c;
}

}  // namespace h8sx
