// The S-record reader, and LoadImage around it.
#include <gtest/gtest.h>

#include <fstream>

#include "image/SRecord.h"
#include "tests/image_records.h"
#include "tests/support/Rig.h"

namespace h8sx::test {
namespace {

using Strings = std::vector<std::string>;

struct Read {
    ImageLoad load;
    FlashImage image;
    std::size_t consumed = 0;
    int records = 0;  // calls of the per-record hook
};

Read ReadText(const std::string& text) {
    Read r;
    MemorySource in(text);
    r.load = ReadSRecords(in, r.image, [&] { ++r.records; });
    r.consumed = in.Consumed();
    return r;
}

Bytes ImageBytes(const Read& r) {
    return Bytes(r.image.Bytes.begin(), r.image.Bytes.begin() + r.image.Length);
}

TEST(SRecordReader, EachKindLoadsWithItsText) {
    const Bytes data = Pattern(100);
    for (int kind = 1; kind <= 3; ++kind) {
        SCOPED_TRACE(kind);
        const Read r = ReadText(SRecordFile(data, kind));
        ASSERT_TRUE(r.load.Loaded()) << ImageStatusText(r.load);
        EXPECT_EQ(r.load.kind, kind);
        EXPECT_EQ(r.load.dataRecords, 4u);
        EXPECT_EQ(r.records, 4);
        EXPECT_EQ(ImageBytes(r), data);
        EXPECT_EQ(ImageStatusText(r.load), "S" + std::to_string(kind) + "ファイル解析完了");
    }
}

TEST(SRecordReader, TheExampleImageLoads) {
    std::ifstream in(std::string(H8SX_SOURCE_DIR) + "/examples/hello.mot", std::ios::binary);
    const Read r = ReadText(std::string(std::istreambuf_iterator<char>(in), {}));
    ASSERT_TRUE(r.load.Loaded()) << ImageStatusText(r.load);
    EXPECT_EQ(ImageStatusText(r.load), "S3ファイル解析完了");
    EXPECT_EQ(r.image.Length, 982u);
}

TEST(SRecordReader, LineEndsBlanksAndLowerCaseReadAlike) {
    const Bytes data = Pattern(70);
    const Read lf = ReadText(SRecordFile(data, 2, 0, 16, "\n"));
    ASSERT_TRUE(lf.load.Loaded());
    EXPECT_EQ(ImageBytes(lf), data);

    std::string lower = SRecordFile(data, 2, 0, 16, " \t\r\n\r\n\n");
    for (char& c : lower)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    for (const std::string& text :
         {SRecordFile(data, 2, 0, 16, "\r\n"), SRecordFile(data, 2, 0, 16, "  \r\n"),
          SRecordFile(data, 2, 0, 16, "\r"), SRecordFile(data, 2, 0, 16, "\r\r\n"),
          "\n  \n" + SRecordFile(data, 2, 0, 16, "\t\n\n"), lower}) {
        const Read r = ReadText(text);
        ASSERT_TRUE(r.load.Loaded()) << text << ImageStatusText(r.load);
        EXPECT_EQ(ImageBytes(r), data);
    }
}

TEST(SRecordReader, EveryKindOfLineEndCountsOneLine) {
    // CR LF, a lone CR and a lone LF each end one line: CR CR LF is two.
    const std::pair<const char*, std::uint32_t> kinds[] = {{"\n", 3}, {"\r\n", 3}, {"\r", 3}, {"\r\r\n", 5}};
    for (const auto& [eol, line] : kinds) {
        SCOPED_TRACE(testing::PrintToString(std::string(eol)));
        const Read r = ReadText(Header(eol) + DataRecord(1, 0, Pattern(4), eol) + "S1050004AAGG00" + eol);
        EXPECT_EQ(ImageStatusText(r.load), "HEX文字ERR " + std::to_string(line) + "行");
    }
}

TEST(SRecordReader, PlacementFollowsAddressesFromTheFirstRecord) {
    const Bytes a = Pattern(16, 1), b = Pattern(8, 2), c = Pattern(4, 3);
    // A 16-address gap, then a record that follows directly; the file starts at 0x1000.
    const Read r = ReadText(DataRecord(1, 0x1000, a) + DataRecord(1, 0x1020, b) + DataRecord(1, 0x1028, c) +
                            Termination(1));
    ASSERT_TRUE(r.load.Loaded());
    EXPECT_EQ(ImageBytes(r), Concat({a, Bytes(16, 0xFF), b, c}));
    EXPECT_EQ(r.load.firstAddress, 0x1000u);

    // An empty first record still fixes where the file starts.
    const Read empty = ReadText(DataRecord(3, 0, {}) + DataRecord(3, 0x10, b) + Termination(3));
    ASSERT_TRUE(empty.load.Loaded());
    EXPECT_EQ(ImageBytes(empty), Concat({Bytes(16, 0xFF), b}));
}

TEST(SRecordReader, AWrongChecksumLoadsAsItReads) {
    const Bytes data = Pattern(16);
    std::string text = SRecordFile(data);
    const std::size_t line2 = text.find('\n') + 1;
    const std::size_t sum = text.find('\n', line2) - 2;
    text[sum] = text[sum] == '0' ? '1' : '0';
    const Read r = ReadText(text);
    ASSERT_TRUE(r.load.Loaded());
    EXPECT_EQ(ImageBytes(r), data);
    // ... and its line is reported, for a caller that refuses such files; the count
    // record's checksum counts too.
    EXPECT_EQ(r.load.badChecksumLines, std::vector<std::uint32_t>{2});
    EXPECT_TRUE(ReadText(SRecordFile(data)).load.badChecksumLines.empty());
    EXPECT_EQ(ReadText(DataRecord(1, 0, data) + "S5030001FA\n" + Termination(1)).load.badChecksumLines,
              std::vector<std::uint32_t>{2});
}

TEST(SRecordReader, NothingBehindTheTerminationTypeIsRead) {
    const std::string head = Header() + DataRecord(1, 0, Pattern(8)) + "S9";
    const Read r = ReadText(head + "zz\nS1 not a record\n" + DataRecord(1, 8, Pattern(8)));
    ASSERT_TRUE(r.load.Loaded());
    EXPECT_EQ(r.consumed, head.size());
    EXPECT_EQ(r.image.Length, 8u);
}

TEST(SRecordReader, TheTailStandsBehindTheImageOutsideItsLength) {
    for (std::size_t n : {std::size_t{256}, std::size_t{300}}) {
        SCOPED_TRACE(n);
        const Bytes data = Pattern(n);
        const Read r = ReadText(SRecordFile(data, 3));
        ASSERT_TRUE(r.load.Loaded());
        EXPECT_EQ(r.image.Length, n);
        EXPECT_EQ(Bytes(r.image.Bytes.begin(),
                        r.image.Bytes.begin() + static_cast<std::ptrdiff_t>(n + kTailLength)),
                  Concat({data, Tail()}));
    }
    // Only a termination record: an empty image, its tail at offset 0.
    const Read only = ReadText("S9030000FC\n");
    ASSERT_TRUE(only.load.Loaded());
    EXPECT_EQ(only.image.Length, 0u);
    EXPECT_EQ(Bytes(only.image.Bytes.begin(), only.image.Bytes.begin() + kTailLength), Tail());
}

TEST(SRecordReader, CountRecordsAreCheckedAndSkipped) {
    const std::string two = DataRecord(1, 0, Pattern(4)) + DataRecord(1, 4, Pattern(4));
    const Read s5 = ReadText(Header() + two + Record('5', 2, 2) + Termination(1));
    ASSERT_TRUE(s5.load.Loaded());
    EXPECT_EQ(s5.image.Length, 8u);
    EXPECT_TRUE(ReadText(two + Record('6', 3, 2) + Termination(1)).load.Loaded());

    const Read wrong = ReadText(two + Record('5', 2, 3) + Termination(1));
    EXPECT_EQ(wrong.load.fault, ImageFault::RecordCount);
    EXPECT_EQ(wrong.load.line, 3u);
    EXPECT_EQ(ImageStatusText(wrong.load), "件数ERR 3行");
    EXPECT_EQ(ReadText(two + Record('6', 3, 0x10002) + Termination(1)).load.fault, ImageFault::RecordCount);
}

struct Malformed {
    const char* what;
    std::string text;
    ImageFault fault;
    std::uint32_t line;
    const char* status;
};

TEST(SRecordReader, DamagedFilesStopAtTheirLine) {
    const std::string ok = DataRecord(1, 0x10, Pattern(16));  // line 1
    const Malformed cases[] = {
        {"empty file", "", ImageFault::NoTermination, 1, "終端なしERR 1行"},
        {"no termination", ok + DataRecord(1, 0x20, Pattern(2)), ImageFault::NoTermination, 2,
         "終端なしERR 2行"},
        {"ends inside a record", ok + "S1130020", ImageFault::NoTermination, 2, "終端なしERR 2行"},
        {"ends inside the header", "S0030000FC", ImageFault::NoTermination, 1, "終端なしERR 1行"},
        {"header, then termination", Header() + Termination(1), ImageFault::NoData, 2, "データなしERR 2行"},
        {"type 4", ok + Record('4', 2, 0x20, Pattern(2)) + Termination(1), ImageFault::RecordType, 2,
         "S形式ERR 2行"},
        {"type not a digit", ok + "SX05002000AABB\n" + Termination(1), ImageFault::RecordType, 2,
         "S形式ERR 2行"},
        {"header, then type 4", Header() + Record('4', 2, 0), ImageFault::RecordType, 2, "S形式ERR 2行"},
        {"no record mark", ok + "\nX1050020AABB00\n", ImageFault::RecordType, 3, "S形式ERR 3行"},
        {"overlap", ok + DataRecord(1, 0x1F, Pattern(2)) + Termination(1), ImageFault::Descending, 2,
         "アドレスERR 2行"},
        {"descending", ok + DataRecord(1, 0x00, Pattern(2)) + Termination(1), ImageFault::Descending, 2,
         "アドレスERR 2行"},
        {"count below address and checksum", ok + "S1020020DD\n" + Termination(1), ImageFault::ByteCount, 2,
         "バイト数ERR 2行"},
        {"S3 count 4", "S3040000000000\n" + Termination(3), ImageFault::ByteCount, 1, "バイト数ERR 1行"},
        {"not hex in data", ok + "S1050020AGBB00\n", ImageFault::NotHex, 2, "HEX文字ERR 2行"},
        {"not hex in count", "S1 50000AABB00\n", ImageFault::NotHex, 1, "HEX文字ERR 1行"},
        {"record cut short by its line end", ok + "S1050020AA\nS9030000FC\n", ImageFault::NotHex, 2,
         "HEX文字ERR 2行"},
        {"characters behind the checksum", ok + "S1050020AABB00 ;\n" + Termination(1), ImageFault::LineEnd, 2,
         "行末ERR 2行"},
        {"a CR inside a line", ok + "S1050020AABB\r00\n" + Termination(1), ImageFault::NotHex, 2, "HEX文字ERR 2行"},
        // A header ends at its line end: a line that lost its "S" is not swallowed by it.
        {"header, then a record without its S", "S00600004844521B\n104000001FA\nS104000102F8\nS9030000FC\n",
         ImageFault::RecordType, 2, "S形式ERR 2行"},
        {"header, then a blank line and junk", Header("\r\n") + "\r\n junk\r\n" + ok + Termination(1),
         ImageFault::RecordType, 3, "S形式ERR 3行"},
    };
    for (const Malformed& m : cases) {
        SCOPED_TRACE(m.what);
        const Read r = ReadText(m.text);
        EXPECT_EQ(r.load.fault, m.fault);
        EXPECT_EQ(r.load.line, m.line);
        EXPECT_EQ(ImageStatusText(r.load), m.status);
    }
}

TEST(SRecordReader, TheImageAndItsTailFitTheRoomOrNothingLoads) {
    const std::uint32_t last = kFlashImageRoom - kTailLength - 1;  // the last offset that fits
    const std::string first = DataRecord(3, 0, {0x11});
    const Read fits = ReadText(first + DataRecord(3, last, {0x22}) + Termination(3));
    ASSERT_TRUE(fits.load.Loaded()) << ImageStatusText(fits.load);
    EXPECT_EQ(fits.image.Length, kFlashImageRoom - kTailLength);
    EXPECT_EQ(fits.image.Bytes[last], 0x22);
    EXPECT_EQ(fits.image.Bytes[last - 1], 0xFF);
    EXPECT_EQ(Bytes(fits.image.Bytes.end() - kTailLength, fits.image.Bytes.end()), Tail());

    const Read past = ReadText(first + DataRecord(3, last, {0x22, 0x33}) + Termination(3));
    EXPECT_EQ(past.load.fault, ImageFault::TooLarge);
    EXPECT_EQ(ImageStatusText(past.load), "サイズERR 2行");
    EXPECT_EQ(ReadText(first + DataRecord(3, last + 1, {0x22}) + Termination(3)).load.fault,
              ImageFault::TooLarge);

    // A gap of nearly 4 GiB is refused before any of it is filled; a record that ends at
    // the top of the address space lets none follow.
    EXPECT_EQ(ReadText(first + DataRecord(3, 0xFFFFFF00, {0x22})).load.fault, ImageFault::TooLarge);
    EXPECT_EQ(ReadText(DataRecord(3, 0xFFFFFFFE, {1, 2}) + DataRecord(3, 0, {3})).load.fault,
              ImageFault::Descending);
}

// --- LoadImage: the dialog, the status line and the file ---

class LoadImageTest : public ::testing::Test {
protected:
    bool Load(const std::optional<std::string>& path) {
        rig.toolkit.dialogAnswers.push(path);
        return rig.form1.LoadImage(image);
    }
    Rig rig;
    FlashImage image;
};

TEST_F(LoadImageTest, AFileIsReadWithTheWindowsLive) {
    const Bytes data = Pattern(1000);
    rig.form1.SetProgressPosition(50);
    const auto path = rig.dir.Write("prog.mot", SRecordFile(data, 3, 0, 16, "\r\n"));
    const int pumpsBefore = rig.toolkit.pumpCalls;
    ASSERT_TRUE(Load(path.string()));
    EXPECT_EQ(rig.toolkit.Statuses(),
              (Strings{"書き込みファイル選択", "ファイル転送中です", "S3ファイル解析完了"}));
    EXPECT_EQ(rig.toolkit.progress.back(), (std::pair<int, int>{0, kProgressInitialMax}));
    EXPECT_EQ(Bytes(image.Bytes.begin(), image.Bytes.begin() + image.Length), data);
    EXPECT_EQ(rig.toolkit.pumpCalls - pumpsBefore, 63);  // once a record
    EXPECT_EQ(rig.toolkit.Beeps(), 0);
}

TEST_F(LoadImageTest, CancelledMissingOrDamagedFilesLoadNothing) {
    EXPECT_FALSE(Load(std::nullopt));
    EXPECT_EQ(rig.toolkit.Statuses(), Strings{"書き込みファイル選択"});
    EXPECT_EQ(rig.toolkit.dialogs, 1);

    EXPECT_FALSE(Load((rig.dir.path() / "missing.mot").string()));
    EXPECT_EQ(rig.toolkit.LastStatus(), "ファイル転送中です");

    const auto path = rig.dir.Write("cut.mot", SRecordFile(Pattern(64)).substr(0, 60));
    EXPECT_FALSE(Load(path.string()));
    EXPECT_EQ(rig.toolkit.LastStatus(), "終端なしERR 2行");
    EXPECT_EQ(rig.toolkit.Beeps(), 0);
}

}  // namespace
}  // namespace h8sx::test
