// The S-record reader on any bytes. Whatever the file: nothing is placed outside the room,
// a loaded image has its tail right behind it, and a fault names a line of the file.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "image/SRecord.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

// Lines as the reader counts them: CR LF, a lone CR and a lone LF each end one.
std::uint32_t LineCount(std::string_view text) {
    std::uint32_t ends = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        if (text[i] == '\r' || text[i] == '\n') ++ends;
    }
    return ends + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    h8sx::MemorySource in(text);
    // One image for every run: the reader sets its length and writes every byte it
    // counts, so nothing of an earlier run can show.
    static h8sx::FlashImage image;
    int records = 0;
    const h8sx::ImageLoad load = h8sx::ReadSRecords(in, image, [&] { ++records; });
    const std::string status = h8sx::ImageStatusText(load);
    FUZZ_CHECK(!status.empty());
    FUZZ_CHECK(in.Consumed() <= size);
    FUZZ_CHECK(image.Bytes.size() == h8sx::kFlashImageRoom);
    FUZZ_CHECK(image.Length <= h8sx::kFlashImageRoom);
    if (load.Loaded()) {
        FUZZ_CHECK(load.kind >= 1 && load.kind <= 3);
        FUZZ_CHECK(image.Length + h8sx::kTailLength <= h8sx::kFlashImageRoom);
        const auto tail = image.Bytes.begin() + image.Length;
        FUZZ_CHECK(std::all_of(tail, tail + 5, [](std::uint8_t b) { return b == 0xFF; }));
        FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(&*(tail + 5)), 9) == "QVN060220");
        FUZZ_CHECK(std::all_of(tail + 14, tail + h8sx::kTailLength, [](std::uint8_t b) { return b == 0xFF; }));
        FUZZ_CHECK(records >= static_cast<int>(load.dataRecords));
    } else {
        FUZZ_CHECK(load.line >= 1 && load.line <= LineCount(text));
    }
    return 0;
}
