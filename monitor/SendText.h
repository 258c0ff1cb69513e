// Turns text typed or piped into the monitor (UTF-8) into what goes to the board: the
// Shift-JIS the board reads. Input comes in pieces cut anywhere, so a character cut off at
// the end of one piece waits for the rest of it from the next.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace h8sx {

class SendText {
public:
    // The Shift-JIS bytes of the characters that `utf8` completes. ASCII goes as it is, line
    // ends and control characters too. A character the code page has no form for is not
    // sent, nor are bytes that are no UTF-8 character (a stray continuation byte, an overlong
    // form, a surrogate, a sequence broken off): both count in Unsent(), the latter one for
    // each longest piece that could have begun a character.
    std::string Take(std::string_view utf8);
    // The input has ended: a character still cut off counts as unsent.
    void Finish();

    // Characters not sent so far, and the first of them (U+FFFD for bytes that were no
    // character; 0 while none).
    std::size_t Unsent() const { return unsent_; }
    char32_t FirstUnsent() const { return firstUnsent_; }

private:
    void Drop(char32_t c);

    char32_t code_ = 0;         // the bits of the character begun so far
    int missing_ = 0;           // continuation bytes it still needs
    unsigned char low_ = 0x80;  // the range of the next one
    unsigned char high_ = 0xBF;
    std::size_t unsent_ = 0;
    char32_t firstUnsent_ = 0;
};

}  // namespace h8sx
