// The Intel HEX reader on any bytes. Whatever the file: nothing is placed outside the room, a
// loaded image starts at address 0 with its tail right behind it, a refusal names a line of
// the file; the file reads the same with its line ends in another style, and through the
// source that looks at its first bytes; what loads, loads alike with the checksums let pass;
// and a loaded image, written out again, reads back the same.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "image/ImageFormat.h"
#include "image/IntelHex.h"
#include "tests/fuzz/FuzzCheck.h"
#include "tests/fuzz/TextLines.h"
#include "tests/image_records.h"

namespace {

using namespace h8sx::test;

struct Reading {
    h8sx::ImageLoad load;
    Bytes image;  // the image and its tail once loaded; what was placed otherwise
};

bool Same(const Reading& a, const Reading& b) {
    const h8sx::ImageLoad &x = a.load, &y = b.load;
    return x.RefusedLine() == y.RefusedLine() && x.Refusal() == y.Refusal() &&
           x.dataRecords == y.dataRecords && x.badChecksumLines == y.badChecksumLines && a.image == b.image;
}

Reading Read(std::string_view text, bool peek = false, bool checksums = true) {
    static h8sx::FlashImage image;  // the readers set its length and write every byte they count
    h8sx::MemorySource memory(text);
    h8sx::PeekSource peeking(memory);  // with `peek`, as h8sx reads: its first bytes looked at first
    if (peek) h8sx::Sniff(peeking);
    Reading r{h8sx::ReadIntelHex(peeking, image, checksums), {}};
    FUZZ_CHECK(image.Bytes.size() == h8sx::kFlashImageRoom);
    FUZZ_CHECK(image.Length <= h8sx::kFlashImageRoom - h8sx::kTailLength);
    const std::size_t length = image.Length + (r.load.Loaded() ? h8sx::kTailLength : 0);
    r.image.assign(image.Bytes.begin(), image.Bytes.begin() + static_cast<std::ptrdiff_t>(length));
    if (r.load.Loaded()) {
        FUZZ_CHECK(image.Length > 0 && r.load.firstAddress == 0);
        FUZZ_CHECK(Bytes(r.image.end() - h8sx::kTailLength, r.image.end()) == Tail());
    } else {
        FUZZ_CHECK(r.load.RefusedLine() >= 1 && r.load.RefusedLine() <= h8sx::fuzz::Lines(text).size());
        FUZZ_CHECK(!r.load.Refusal().empty());
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    static constexpr std::string_view kStyles[] = {"\n", "\r\n", "\r"};
    const Reading strict = Read(text);
    FUZZ_CHECK(Same(strict, Read(h8sx::fuzz::WithLineEnds(text, kStyles[size % 3]))));
    FUZZ_CHECK(Same(strict, Read(text, true)));
    if (!strict.load.Loaded()) return 0;

    const Reading lax = Read(text, false, false);
    FUZZ_CHECK(lax.load.Loaded() && lax.image == strict.image);
    const Bytes image(strict.image.begin(), strict.image.end() - h8sx::kTailLength);
    if (image.size() > 0x20000) return 0;  // past a 64 KiB boundary is far enough, and keeps runs fast
    FUZZ_CHECK(Read(IntelHexFile({{0, image}})).image == strict.image);
    return 0;
}
