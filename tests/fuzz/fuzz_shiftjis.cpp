// The monitor's Shift-JIS, both ways, the input cut into pieces at random points. The first
// input bytes choose the cuts, the rest is the board's text (and, for the way back, text
// typed or piped to the board). Whatever the cuts, the board's text decodes to valid UTF-8
// without zero bytes; text without CR or zero bytes (the two things a read boundary may
// change) decodes alike however it is cut; that text, sent back, is the bytes that decode
// to it again, less the characters that stood for no character; and typed text goes out
// alike however it is cut.
#include <cstdint>
#include <string>
#include <vector>

#include "monitor/ReceiveText.h"
#include "monitor/SendText.h"
#include "monitor/ShiftJis.h"
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

// What `take` makes of the n bytes handed to it in the pieces `cuts` marks.
template <class Take>
std::string Pieces(const std::uint8_t* bytes, std::size_t n, const std::vector<std::size_t>& cuts,
                   Take take) {
    std::string out;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        if (cut <= from || cut >= n) continue;
        out += take(bytes + from, cut - from);
        from = cut;
    }
    return out + take(bytes + from, n - from);
}

std::string Decode(const std::uint8_t* bytes, std::size_t n, const std::vector<std::size_t>& cuts) {
    h8sx::ReceiveText r;
    return Pieces(bytes, n, cuts, [&](const std::uint8_t* b, std::size_t k) { return r.Take(b, k); });
}

std::string Encode(h8sx::SendText& s, const std::uint8_t* bytes, std::size_t n,
                   const std::vector<std::size_t>& cuts) {
    const std::string out = Pieces(bytes, n, cuts, [&](const std::uint8_t* b, std::size_t k) {
        return s.Take(std::string_view(reinterpret_cast<const char*>(b), k));
    });
    s.Finish();
    return out;
}

std::string Without(std::string text, const std::string& part) {
    for (std::size_t at; (at = text.find(part)) != std::string::npos;) text.erase(at, part.size());
    return text;
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

    h8sx::SendText back;
    const std::string sent = back.Take(whole);
    back.Finish();
    std::string replacement;
    h8sx::AppendUtf8(replacement, h8sx::kReplacementCharacter);
    const std::string known = Without(whole, replacement);
    FUZZ_CHECK(back.Unsent() * replacement.size() == whole.size() - known.size());
    const auto* sentBytes = reinterpret_cast<const std::uint8_t*>(sent.data());
    FUZZ_CHECK(Decode(sentBytes, sent.size(), {}) == known);

    h8sx::SendText typedWhole, typedPieces;
    FUZZ_CHECK(Encode(typedWhole, text, n, {}) == Encode(typedPieces, text, n, cuts));
    FUZZ_CHECK(typedWhole.Unsent() == typedPieces.Unsent());
    return 0;
}
