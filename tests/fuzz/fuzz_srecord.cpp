// The S-record reader on any bytes, both readings. Whatever the file: nothing is placed
// outside the room, a loaded image has its tail right behind it, a fault names a line of the
// file; the same file with its line ends written in another style reads the same; what the
// strict reading loads, the windows' reading loads alike; and what the strict reading loads,
// a second reading of the same text line by line, as srec_cat takes a file, loads alike.
#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/SRecord.h"
#include "tests/fuzz/FuzzCheck.h"
#include "tests/fuzz/TextLines.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using h8sx::fuzz::Lines;
using h8sx::fuzz::WithLineEnds;

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The file as srec_cat reads it, one line at a time (tests/srec_peer_test.cpp holds this
// reading to srec_cat itself): each line empty, blank, or one record ("S", type, hex pairs
// as many as its byte count says, the checksum right), up to a final run of Ctrl-Z;
// ascending data records that do not overlap; count records that count; nothing but blank
// lines after a termination record. The image runs from the lowest address, gaps 0xFF.
std::optional<Bytes> LineByLine(std::string_view text) {
    if (const std::size_t z = text.find('\x1A'); z != std::string_view::npos) {
        if (text.find_first_not_of('\x1A', z) != std::string_view::npos) return std::nullopt;
        text = text.substr(0, z);
    }
    std::multimap<std::uint64_t, Bytes> records;
    std::uint32_t dataRecords = 0;
    bool ended = false;
    for (std::string_view line : Lines(text)) {
        if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
        if (ended || line.size() < 4 || line[0] != 'S' || line.size() % 2 != 0) return std::nullopt;
        Bytes b;
        for (std::size_t i = 2; i < line.size(); i += 2) {
            const int hi = Hex(line[i]), lo = Hex(line[i + 1]);
            if (hi < 0 || lo < 0) return std::nullopt;
            b.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        }
        unsigned sum = 0;
        for (std::uint8_t v : b) sum += v;
        if (b[0] != b.size() - 1 || (sum & 0xFF) != 0xFF) return std::nullopt;
        // The address bytes of each type; none for S4, which is no record.
        static constexpr std::size_t kAddressBytes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
        const int type = line[1] - '0';
        if (type < 0 || type > 9 || type == 4 || b.size() < kAddressBytes[type] + 2) return std::nullopt;
        const std::size_t addressBytes = kAddressBytes[type];
        std::uint64_t address = 0;
        for (std::size_t i = 1; i <= addressBytes; ++i) address = address << 8 | b[i];
        const Bytes data(b.begin() + static_cast<std::ptrdiff_t>(addressBytes + 1), b.end() - 1);
        if (type >= 1 && type <= 3) {
            if (address + data.size() > (std::uint64_t{1} << (8 * addressBytes))) return std::nullopt;
            records.emplace(address, data);
            ++dataRecords;
        } else if (type == 5 || type == 6) {
            if (!data.empty() || address != dataRecords) return std::nullopt;
        } else if (type >= 7) {
            ended = true;
        }
    }
    if (records.empty()) return std::nullopt;
    const std::uint64_t first = records.begin()->first;
    Bytes image;
    for (const auto& [address, data] : records) {
        if (address - first < image.size()) return std::nullopt;  // overlapping
        if (address - first > (std::uint64_t{1} << 21)) return std::nullopt;
        image.resize(address - first, 0xFF);
        image.insert(image.end(), data.begin(), data.end());
    }
    return image;
}

struct Reading {
    h8sx::ImageLoad load;
    Bytes image;  // the image and its tail once loaded; what was placed otherwise
};

Reading Read(std::string_view text, bool strict) {
    // One image for every run: the reader sets its length and writes every byte it
    // counts, so nothing of an earlier run can show.
    static h8sx::FlashImage image;
    h8sx::MemorySource in(text);
    int records = 0;
    Reading r{h8sx::ReadSRecords(
                  in, image, [&] { ++records; }, h8sx::ReadOptions{.strict = strict}),
              {}};
    FUZZ_CHECK(in.Consumed() <= text.size());
    FUZZ_CHECK(image.Bytes.size() == h8sx::kFlashImageRoom);
    FUZZ_CHECK(image.Length <= h8sx::kFlashImageRoom);
    const std::string status = h8sx::ImageStatusText(r.load);
    FUZZ_CHECK(!status.empty());
    if (r.load.fault == h8sx::ImageFault::None) {
        FUZZ_CHECK(r.load.kind >= 1 && r.load.kind <= 3);
        FUZZ_CHECK(image.Length > 0 && image.Length + h8sx::kTailLength <= h8sx::kFlashImageRoom);
        const auto tail = image.Bytes.begin() + image.Length;
        FUZZ_CHECK(std::all_of(tail, tail + 5, [](std::uint8_t b) { return b == 0xFF; }));
        FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(&*(tail + 5)), 9) == "QVN060220");
        FUZZ_CHECK(
            std::all_of(tail + 14, tail + h8sx::kTailLength, [](std::uint8_t b) { return b == 0xFF; }));
        FUZZ_CHECK(records >= static_cast<int>(r.load.dataRecords));
    }
    const std::size_t lines = r.load.Loaded() ? 0 : Lines(text).size();
    if (r.load.fault != h8sx::ImageFault::None) {
        FUZZ_CHECK(r.load.line >= 1 && r.load.line <= lines);
        FUZZ_CHECK(!r.load.what.empty());
    }
    if (r.load.strictFault != h8sx::StrictFault::None) {
        FUZZ_CHECK(strict && !r.load.strictWhat.empty());
        FUZZ_CHECK(r.load.strictLine >= 1 && r.load.strictLine <= lines);
        FUZZ_CHECK(r.load.fault == h8sx::ImageFault::None || r.load.line >= r.load.strictLine);
    }
    const std::size_t length = image.Length + (r.load.Loaded() ? h8sx::kTailLength : 0);
    r.image.assign(image.Bytes.begin(), image.Bytes.begin() + static_cast<std::ptrdiff_t>(length));
    return r;
}

bool Same(const Reading& a, const Reading& b) {
    const h8sx::ImageLoad &x = a.load, &y = b.load;
    return x.fault == y.fault && x.line == y.line && x.what == y.what && x.strictFault == y.strictFault &&
           x.strictLine == y.strictLine && x.strictWhat == y.strictWhat && x.kind == y.kind &&
           x.endedByCount == y.endedByCount && x.dataRecords == y.dataRecords &&
           x.firstAddress == y.firstAddress && x.badChecksumLines == y.badChecksumLines && a.image == b.image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    static constexpr std::string_view kStyles[] = {"\n", "\r\n", "\r"};
    const std::string restyled = WithLineEnds(text, kStyles[size % 3]);
    const Reading windows = Read(text, false), strict = Read(text, true);
    FUZZ_CHECK(Same(windows, Read(restyled, false)) && Same(strict, Read(restyled, true)));

    if (!strict.load.Loaded()) return 0;
    FUZZ_CHECK(windows.load.Loaded() && windows.image == strict.image);
    const std::optional<Bytes> peer = LineByLine(text);
    FUZZ_CHECK(peer && std::equal(peer->begin(), peer->end(), strict.image.begin()) &&
               peer->size() + h8sx::kTailLength == strict.image.size());
    return 0;
}
