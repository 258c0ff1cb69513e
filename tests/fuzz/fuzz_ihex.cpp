// The Intel HEX reader on any bytes. Whatever the file: nothing is placed outside the room, a
// loaded image has its tail right behind it, a refusal names a line of the file; the same file
// with its line ends written in another style reads the same, and so does the file read
// through the source that looks at its first bytes; what loads, loads alike with the
// checksums let pass; and a loaded image, written out again as Intel HEX and as S-records,
// reads back the same through either reader.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image/ImageFormat.h"
#include "image/IntelHex.h"
#include "image/SRecord.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::size_t LineCount(std::string_view text) {
    std::size_t lines = 1;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) ++lines;
    return lines;
}

std::string WithLineEnds(std::string_view text, std::string_view eol) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\r' || text[i] == '\n')
            out += eol;
        else
            out += text[i];
    }
    return out;
}

struct Reading {
    h8sx::ImageLoad load;
    Bytes image;  // the image and its tail once loaded; what was placed otherwise
};

bool Same(const Reading& a, const Reading& b) {
    const h8sx::ImageLoad &x = a.load, &y = b.load;
    return x.fault == y.fault && x.line == y.line && x.what == y.what && x.strictFault == y.strictFault &&
           x.strictLine == y.strictLine && x.strictWhat == y.strictWhat && x.dataRecords == y.dataRecords &&
           x.firstAddress == y.firstAddress && x.badChecksumLines == y.badChecksumLines && a.image == b.image;
}

// One record of either format, its sum as the format sums it: ":" or "S" and its type first.
std::string Record(std::string_view start, const Bytes& fields, bool hex) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    unsigned sum = 0;
    std::string r(start);
    for (std::uint8_t b : fields) {
        sum += b;
        r += kDigits[b >> 4];
        r += kDigits[b & 15];
    }
    const unsigned check = hex ? 0x100 - (sum & 0xFF) : ~sum;
    return r + kDigits[(check >> 4) & 15] + kDigits[check & 15] + "\n";
}

// The image written out again, 16 bytes a record: as Intel HEX under extended linear
// addresses, or as S3 records.
std::string Written(const Bytes& image, bool hex) {
    std::string text;
    for (std::uint32_t at = 0; at < image.size(); at += 16) {
        const auto n = static_cast<std::uint8_t>(std::min<std::size_t>(16, image.size() - at));
        Bytes fields;
        if (hex && at % 0x10000 == 0)
            text += Record(
                ":", {2, 0, 0, 4, static_cast<std::uint8_t>(at >> 24), static_cast<std::uint8_t>(at >> 16)},
                true);
        if (hex)
            fields = {n, static_cast<std::uint8_t>(at >> 8), static_cast<std::uint8_t>(at), 0};
        else
            fields = {static_cast<std::uint8_t>(n + 5), static_cast<std::uint8_t>(at >> 24),
                      static_cast<std::uint8_t>(at >> 16), static_cast<std::uint8_t>(at >> 8),
                      static_cast<std::uint8_t>(at)};
        fields.insert(fields.end(), image.begin() + at, image.begin() + at + n);
        text += Record(hex ? ":" : "S3", fields, hex);
    }
    return text + (hex ? ":00000001FF\n" : Record("S7", {5, 0, 0, 0, 0}, false));
}

enum class Via { Memory, Peek, LaxChecksums, SRecords };

Reading Read(std::string_view text, Via via = Via::Memory) {
    static h8sx::FlashImage image;  // the reader sets its length and writes every byte it counts
    h8sx::MemorySource memory(text);
    h8sx::PeekSource peek(memory);
    Reading r;
    if (via == Via::Peek) {
        h8sx::Sniff(peek);
        r.load = h8sx::ReadIntelHex(peek, image);
    } else if (via == Via::SRecords) {
        r.load = h8sx::ReadSRecords(memory, image, {}, h8sx::ReadOptions{.strict = true});
    } else {
        r.load = h8sx::ReadIntelHex(memory, image, via != Via::LaxChecksums);
    }
    FUZZ_CHECK(image.Bytes.size() == h8sx::kFlashImageRoom);
    FUZZ_CHECK(image.Length <= h8sx::kFlashImageRoom - h8sx::kTailLength);
    if (r.load.Loaded()) {
        FUZZ_CHECK(image.Length > 0 && r.load.firstAddress == 0);
        const auto tail = image.Bytes.begin() + image.Length;
        FUZZ_CHECK(static_cast<std::size_t>(std::count(tail, tail + h8sx::kTailLength, 0xFF)) ==
                   h8sx::kTailLength - 9);
        FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(&*(tail + 5)), 9) == "QVN060220");
    } else {
        FUZZ_CHECK(r.load.RefusedLine() >= 1 && r.load.RefusedLine() <= LineCount(text));
        FUZZ_CHECK(!r.load.Refusal().empty());
    }
    const std::size_t length = image.Length + (r.load.Loaded() ? h8sx::kTailLength : 0);
    r.image.assign(image.Bytes.begin(), image.Bytes.begin() + static_cast<std::ptrdiff_t>(length));
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    static constexpr std::string_view kStyles[] = {"\n", "\r\n", "\r"};
    const Reading strict = Read(text);
    FUZZ_CHECK(Same(strict, Read(WithLineEnds(text, kStyles[size % 3]))));
    FUZZ_CHECK(Same(strict, Read(text, Via::Peek)));
    if (!strict.load.Loaded()) return 0;

    const Reading lax = Read(text, Via::LaxChecksums);
    FUZZ_CHECK(lax.load.Loaded() && lax.image == strict.image);
    const Bytes image(strict.image.begin(), strict.image.end() - h8sx::kTailLength);
    if (image.size() > 0x20000) return 0;  // past a 64 KiB boundary is far enough, and keeps runs fast
    FUZZ_CHECK(Read(Written(image, true)).image == strict.image);
    FUZZ_CHECK(Read(Written(image, false), Via::SRecords).image == strict.image);
    return 0;
}
