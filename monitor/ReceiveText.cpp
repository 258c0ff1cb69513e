#include "monitor/ReceiveText.h"

namespace h8sx {

std::string ReceiveText::Take(const std::uint8_t* bytes, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n && bytes[i] != 0; ++i) {
        const char c = static_cast<char>(bytes[i]);
        if (c == '\r') {
            out += '\n';
            if (i + 1 < n && bytes[i + 1] == '\n') ++i;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace h8sx
