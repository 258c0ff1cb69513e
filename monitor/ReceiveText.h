// Turns what the board sends into the monitor's text: the text of one read ends at its
// first zero byte, every CR LF, lone CR and lone LF becomes one line end ("\n"), and the
// bytes are decoded as Shift-JIS, a lead byte at the end of one read waiting for its
// trail byte from the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace h8sx {

class ReceiveText {
public:
    // The UTF-8 text to append for one read of n bytes.
    std::string Take(const std::uint8_t* bytes, std::size_t n);
    // Forgets a pending lead byte (the display was cleared).
    void Reset() { pendingLead_ = 0; }

private:
    std::uint8_t pendingLead_ = 0;
};

}  // namespace h8sx
