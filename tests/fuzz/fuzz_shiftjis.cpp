// The monitor's decoding of what the board sends, cut into reads at random points. The
// first input bytes choose the cuts, the rest is the board's text. Whatever the cuts, the
// text is valid UTF-8 without zero bytes; and text without CR or zero bytes (the two
// things a read boundary may change) decodes alike however it is cut.
#include <cstdint>
#include <string>
#include <vector>

#include "monitor/ReceiveText.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

bool ValidUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t n;
        char32_t c;
        if (b == 0) return false;
        if (b < 0x80) { n = 1; c = b; }
        else if ((b & 0xE0) == 0xC0) { n = 2; c = b & 0x1F; }
        else if ((b & 0xF0) == 0xE0) { n = 3; c = b & 0x0F; }
        else if ((b & 0xF8) == 0xF0) { n = 4; c = b & 0x07; }
        else return false;
        if (i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kMin[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

std::string Decode(const std::uint8_t* bytes, std::size_t n, const std::vector<std::size_t>& cuts) {
    h8sx::ReceiveText r;
    std::string out;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        if (cut <= from || cut >= n) continue;
        out += r.Take(bytes + from, cut - from);
        from = cut;
    }
    return out + r.Take(bytes + from, n - from);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t cutCount = data[0] % 8;
    if (size < 1 + cutCount) return 0;
    const std::uint8_t* text = data + 1 + cutCount;
    const std::size_t n = size - 1 - cutCount;
    std::vector<std::size_t> cuts;
    std::size_t at = 0;
    for (std::size_t i = 0; i < cutCount; ++i) cuts.push_back(at += data[1 + i]);

    const std::string whole = Decode(text, n, {});
    const std::string pieces = Decode(text, n, cuts);
    FUZZ_CHECK(ValidUtf8(whole));
    FUZZ_CHECK(ValidUtf8(pieces));
    bool plain = true;
    for (std::size_t i = 0; i < n; ++i) plain = plain && text[i] != '\r' && text[i] != 0;
    if (plain) FUZZ_CHECK(whole == pieces);
    return 0;
}
