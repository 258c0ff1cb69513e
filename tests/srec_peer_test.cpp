// The reader against a peer: random valid S-record files, read by the reader and by
// srec_cat (Debian package srecord), must give the same image byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "image/SRecord.h"
#include "tests/image_records.h"
#include "tests/support/Rig.h"

namespace h8sx::test {
namespace {

bool HaveSrecCat() { return std::system("srec_cat -version >/dev/null 2>&1") == 0; }

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
    if (pick(0, 1))
        for (char& c : text)
            if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

TEST(SRecordPeer, RandomFilesLoadAsSrecCatReadsThem) {
    if (!HaveSrecCat()) GTEST_SKIP() << "srec_cat (package srecord) is not installed";
    TempDir dir;
    std::mt19937 rng(1622);
    for (int n = 0; n < 300; ++n) {
        std::uint32_t first = 0;
        const std::string text = RandomFile(rng, first);
        SCOPED_TRACE(text);
        const auto in = dir.Write("in.mot", text), out = dir.path() / "out.bin";
        // Holes filled with 0xFF, the lowest address moved to 0: what the reader makes.
        char offset[16];
        std::snprintf(offset, sizeof offset, "0x%X", first);
        const std::string command = "srec_cat '(' '" + in.string() + "' -Motorola -fill 0xFF -over '" + in.string() +
                                    "' -Motorola ')' -offset -" + offset + " -o '" + out.string() + "' -Binary";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        std::ifstream peer(out, std::ios::binary);
        const Bytes expected{std::istreambuf_iterator<char>(peer), {}};

        MemorySource source(text);
        FlashImage image;
        const ImageLoad load = ReadSRecords(source, image);
        ASSERT_TRUE(load.Loaded()) << ImageStatusText(load);
        ASSERT_EQ(Bytes(image.Bytes.begin(), image.Bytes.begin() + image.Length), expected);
    }
}

}  // namespace
}  // namespace h8sx::test
