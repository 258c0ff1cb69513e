// The S-record and Intel HEX readers against a peer, srec_cat (Debian package srecord): random
// valid files give the same image byte for byte; srec_cat's own S-record output loads; and an
// S-record file damaged in one character is refused, or loads the image srec_cat reads from it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "image/IntelHex.h"
#include "image/SRecord.h"
#include "tests/image_records.h"
#include "tests/support/Rig.h"

namespace h8sx::test {
namespace {

bool HaveSrecCat() { return std::system("srec_cat -version >/dev/null 2>&1") == 0; }

Bytes ReadBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), {}};
}

// What srec_cat reads from `text` (`format`: -Motorola, -Intel): its data from `first` on,
// holes filled with 0xFF (what the readers make); false when srec_cat refuses the file.
bool SrecCatImage(const TempDir& dir, const std::string& text, std::uint32_t first, Bytes& image,
                  const std::string& format = "-Motorola") {
    const auto in = dir.Write("peer.txt", text), out = dir.path() / "peer.bin";
    char offset[16];
    std::snprintf(offset, sizeof offset, "0x%X", first);
    const std::string command = "srec_cat '(' '" + in.string() + "' " + format + " -fill 0xFF -over '" +
                                in.string() + "' " + format + " ')' -offset -" + offset + " -o '" +
                                out.string() + "' -Binary 2>/dev/null";
    if (std::system(command.c_str()) != 0) return false;
    image = ReadBytes(out);
    return true;
}

Bytes Loaded(const FlashImage& image) {
    return Bytes(image.Bytes.begin(), image.Bytes.begin() + image.Length);
}

ImageLoad ReadStrictly(const std::string& text, FlashImage& image) {
    MemorySource source(text);
    return ReadSRecords(source, image, {}, ReadOptions{.strict = true});
}

ImageLoad ReadHex(const std::string& text, FlashImage& image) {
    MemorySource source(text);
    return ReadIntelHex(source, image);
}

// A file of ascending records with gaps, in one of the three kinds, its header, count
// record, line ends and letter case chosen at random. `first` is its lowest address.
std::string RandomFile(std::mt19937& rng, std::uint32_t& first) {
    const auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
        return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
    };
    const int kind = static_cast<int>(pick(1, 3));
    const std::uint32_t top = kind == 1 ? 0xFFFF : kind == 2 ? 0xFFFFFF : 0xFFFFFFFF;
    const std::string eol = pick(0, 1) ? "\r\n" : "\n";
    const std::uint32_t records = pick(1, 24);
    first = pick(0, top - records * 64);
    std::string text = pick(0, 1) ? Header(eol) : "";
    std::uint32_t at = first;
    for (std::uint32_t r = 0; r < records; ++r) {
        Bytes data(pick(1, 32));
        for (auto& b : data) b = static_cast<std::uint8_t>(pick(0, 255));
        text += DataRecord(kind, at, data, eol);
        at += static_cast<std::uint32_t>(data.size()) + (pick(0, 2) == 0 ? pick(1, 31) : 0);
    }
    if (pick(0, 1)) text += Record(records > 0xFFFF ? '6' : '5', records > 0xFFFF ? 3 : 2, records, {}, eol);
    text += Termination(kind, eol);
    return pick(0, 1) ? LowerHex(text) : text;
}

// `count` files that `make` writes at random (saying their lowest address) load by `read` as
// srec_cat reads them (`format`).
template <class Make>
void RandomFilesLoadAsSrecCatReadsThem(int count, Make make,
                                       ImageLoad (*read)(const std::string&, FlashImage&),
                                       const std::string& format) {
    TempDir dir;
    std::mt19937 rng(1622);
    for (int n = 0; n < count; ++n) {
        std::uint32_t first = 0;
        const std::string text = make(rng, first);
        SCOPED_TRACE(text);
        Bytes expected;
        ASSERT_TRUE(SrecCatImage(dir, text, first, expected, format));
        FlashImage image;
        const ImageLoad load = read(text, image);
        ASSERT_TRUE(load.Loaded()) << load.RefusedLine() << ": " << load.Refusal();
        ASSERT_EQ(Loaded(image), expected);
    }
}

TEST(SRecordPeer, RandomFilesLoadAsSrecCatReadsThem) {
    if (!HaveSrecCat()) GTEST_SKIP() << "srec_cat (package srecord) is not installed";
    // The windows' reading: the first record may lie above address 0.
    const auto windows = [](const std::string& text, FlashImage& image) {
        MemorySource source(text);
        return ReadSRecords(source, image);
    };
    RandomFilesLoadAsSrecCatReadsThem(300, RandomFile, windows, "-Motorola");
}

// An Intel HEX file from address 0: data with gaps, some across a 64 KiB boundary, under
// linear or segment addresses, its line ends and letter case chosen at random.
std::string RandomHexFile(std::mt19937& rng, std::uint32_t& first) {
    const auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
        return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
    };
    first = 0;
    Parts parts;
    for (std::uint32_t r = pick(1, 12), at = 0; r > 0; --r) {
        Bytes data(pick(1, 40));
        for (auto& b : data) b = static_cast<std::uint8_t>(pick(0, 255));
        parts.emplace_back(at, data);
        at += static_cast<std::uint32_t>(data.size()) + (pick(0, 1) ? pick(1, 0x8000) : 0);
    }
    const std::string text = IntelHexFile(parts, pick(0, 1) ? "\r\n" : "\n", pick(0, 1));
    return pick(0, 1) ? LowerHex(text) : text;
}

TEST(IntelHexPeer, RandomFilesLoadAsSrecCatReadsThem) {
    if (!HaveSrecCat()) GTEST_SKIP() << "srec_cat (package srecord) is not installed";
    RandomFilesLoadAsSrecCatReadsThem(200, RandomHexFile, ReadHex, "-Intel");
}

TEST(SRecordPeer, SrecCatsOwnFilesEndedByACountRecordLoadAsTheirBinary) {
    if (!HaveSrecCat()) GTEST_SKIP() << "srec_cat (package srecord) is not installed";
    TempDir dir;
    for (std::size_t size : {std::size_t{300}, std::size_t{70000}}) {  // S1, and S2 records
        SCOPED_TRACE(size);
        const Bytes binary = Pattern(size, 7);
        const auto bin = dir.Write("app.bin", std::string(binary.begin(), binary.end())),
                   mot = dir.path() / "app.mot";
        const std::string command = "srec_cat '" + bin.string() + "' -binary -o '" + mot.string() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const Bytes text = ReadBytes(mot);
        FlashImage image;
        const ImageLoad load = ReadStrictly(std::string(text.begin(), text.end()), image);
        ASSERT_TRUE(load.Loaded()) << load.RefusedLine() << ": " << load.Refusal();
        EXPECT_TRUE(load.endedByCount);
        EXPECT_EQ(Loaded(image), binary);
    }
}

// Every line end as LF: srec_cat takes neither a lone CR nor CR CR LF for one.
std::string WithLfLineEnds(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        out += text[i] == '\r' ? '\n' : text[i];
    }
    return out;
}

// Each file changed in one place (a character replaced, dropped or added) is refused by the
// strict reading, or loads the very image of the undamaged file; and whatever the strict
// reading accepts, srec_cat accepts too and reads the same image from it.
TEST(SRecordPeer, OneDamagedCharacterIsRefusedOrChangesNothing) {
    if (!HaveSrecCat()) GTEST_SKIP() << "srec_cat (package srecord) is not installed";
    const std::string lower =
        LowerHex(Header() + DataRecord(2, 0, Pattern(12, 2)) + DataRecord(2, 0x20, Pattern(12, 3)) +
                 Record('5', 2, 2) + Termination(2));
    const std::string files[] = {
        SRecordFile(Pattern(40, 1), 1, 0, 16, "\r\n"),
        lower,
        DataRecord(3, 0, Pattern(10, 4)) + DataRecord(3, 10, Pattern(10, 5)) + Record('5', 2, 2),
        // As srec_cat writes an image past 64 KiB: S1 records up to 0xFFFF, S2 records on.
        Header() + DataRecord(1, 0, Pattern(8, 6)) + DataRecord(1, 0xFFF0, Pattern(16, 7)) +
            DataRecord(2, 0x10000, Pattern(8, 8)) + Record('5', 2, 3),
    };
    // Hex digits of both cases, the letters around them, blanks, line ends, Ctrl-Z, NUL, a byte past ASCII.
    constexpr char kReplacements[] = "019AFafGSs \t\r\n\x1A\0\xFF.";
    const std::string_view replacements(kReplacements, sizeof kReplacements - 1);
    TempDir dir;
    static FlashImage image;
    int damaged = 0, refused = 0, same = 0;
    for (const std::string& file : files) {
        ASSERT_TRUE(ReadStrictly(file, image).Loaded()) << file;
        const Bytes expected = Loaded(image);
        std::vector<std::string> variants;
        for (std::size_t at = 0; at <= file.size(); ++at) {
            for (char c : replacements) {
                variants.push_back(file.substr(0, at) + c + file.substr(at));  // added
                if (at < file.size() && file[at] != c)
                    variants.push_back(file.substr(0, at) + c + file.substr(at + 1));
            }
            if (at < file.size()) variants.push_back(file.substr(0, at) + file.substr(at + 1));  // dropped
        }
        for (const std::string& text : variants) {
            ++damaged;
            const ImageLoad load = ReadStrictly(text, image);
            if (!load.Loaded()) {
                ++refused;
                continue;
            }
            ASSERT_EQ(Loaded(image), expected) << testing::PrintToString(text);
            ++same;
            Bytes peer;
            ASSERT_TRUE(SrecCatImage(dir, WithLfLineEnds(text), 0, peer)) << testing::PrintToString(text);
            ASSERT_EQ(peer, expected) << testing::PrintToString(text);
        }
    }
    std::printf("%d damaged files: %d refused, %d loaded the undamaged image (srec_cat agreeing on all %d)\n",
                damaged, refused, same, same);
}

}  // namespace
}  // namespace h8sx::test
