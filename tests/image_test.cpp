// The S-record, Intel HEX and binary readers, the format a file's first bytes tell, and
// LoadImage around the S-record reader.
#include <gtest/gtest.h>

#include <fstream>

#include "image/ImageFormat.h"
#include "image/IntelHex.h"
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

Read ReadText(const std::string& text, ReadOptions options = {}) {
    Read r;
    MemorySource in(text);
    r.load = ReadSRecords(in, r.image, [&] { ++r.records; }, options);
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

    const std::string lower = LowerHex(SRecordFile(data, 2, 0, 16, " \t\r\n\r\n\n"));
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

// A damaged or unusual file, read both ways: the windows' status text (a fault naming its
// line, or the kind they load), and h8sx's strict refusal, its line and text (line 0: loads).
struct Damaged {
    const char* what;
    std::string text;
    const char* windows;
    std::uint32_t strictLine;
    const char* strictWhat;
};

TEST(SRecordReader, DamagedFilesAreRefusedAtTheirLine) {
    const std::string h = Header(), s9 = Termination(1);
    const std::string r2 = DataRecord(1, 0x00, Pattern(16, 2)), r3 = DataRecord(1, 0x10, Pattern(16, 3)),
                      r4 = DataRecord(1, 0x20, Pattern(16, 4));
    const std::string data = r2 + r3 + r4;  // lines 2 to 4 behind a header
    // One character changed: the record's type (not covered by its checksum) or a digit.
    const auto retyped = [](std::string r, char type) { return r.replace(1, 1, 1, type); };
    const auto digit = [](std::string r, std::size_t at) {
        r[at] = r[at] == '0' ? '1' : '0';
        return r;
    };
    const std::string endless = h + data;
    const char* const loads = "S1ファイル解析完了";
    const Damaged cases[] = {
        // Refused by every reading.
        {"empty file", "", "終端なしERR 1行", 1, "the file holds no record"},
        {"no termination", endless, "終端なしERR 4行", 4,
         "the file ends without a termination record (S7, S8, S9) or a count record (S5, S6) after its data"},
        {"ends inside a record", h + "S1130020", "終端なしERR 2行", 2, "the file ends inside a record"},
        {"ends inside the header", "S0030000", "終端なしERR 1行", 1, "the file ends inside a record"},
        {"header's line end lost", h.substr(0, h.size() - 1) + data + s9, "行末ERR 1行", 1,
         "text after the checksum: 'S'"},
        {"termination alone", s9, "データなしERR 1行", 1, "no data record with a byte to program"},
        {"header, count, termination", h + Record('5', 2, 0) + s9, "データなしERR 3行", 3,
         "no data record with a byte to program"},
        {"only empty data records", DataRecord(1, 0, {}) + s9, "データなしERR 2行", 2,
         "no data record with a byte to program"},
        {"data record turned into S5", h + r2 + retyped(r3, '5') + r4 + s9, "バイト数ERR 3行", 3,
         "byte count 13 in an S5 count record, which holds only its count and checksum (03)"},
        {"count record that miscounts", h + data + Record('5', 2, 2) + s9, "件数ERR 5行", 5,
         "the S5 record counts 2 data records, 3 come before it"},
        {"past the S1 address space", h + DataRecord(1, 0xFFF0, Pattern(32)) + s9, "アドレスERR 2行", 2,
         "the record's data runs past 0xFFFF, the last address of an S1 record"},
        {"overlap", h + r2 + DataRecord(1, 0x0F, Pattern(2)) + s9, "アドレスERR 3行", 3,
         "address 0x000F lies below the end of the data before it (0x0010): records must ascend without "
         "overlapping"},
        {"type 4", h + retyped(r2, '4') + s9, "S形式ERR 2行", 2, "S4 is no record type"},
        {"type not a digit", h + retyped(r2, 'X') + s9, "S形式ERR 2行", 2,
         "'X' after S, where the record type belongs"},
        {"a line that lost its S", h + r2.substr(1) + s9, "S形式ERR 2行", 2,
         "'1' where a record's S belongs"},
        {"Ctrl-Z before the end", h + r2 + "\x1A" + r3 + s9, "S形式ERR 3行", 3,
         "a Ctrl-Z where a record's S belongs"},
        {"byte count below address and checksum", h + "S1020020DD\n" + s9, "バイト数ERR 2行", 2,
         "byte count 02 is too small for an S1 record (at least 03: address and checksum)"},
        {"not hex", h + r2.substr(0, 10) + "G" + r2.substr(11), "HEX文字ERR 2行", 2,
         "'G' where a hex digit belongs"},
        {"a digit lost", h + r2.substr(0, 10) + r2.substr(11) + s9, "HEX文字ERR 2行", 2,
         "the line ends before the 19 bytes its byte count 13 announces"},
        {"a digit more", h + r2.substr(0, 10) + "0" + r2.substr(10) + s9, "行末ERR 2行", 2,
         "the record goes on past the 19 bytes its byte count 13 announces"},
        {"text after the checksum", h + r2.substr(0, r2.size() - 1) + " ;\n" + s9, "行末ERR 2行", 2,
         "text after the checksum: ';'"},
        // Loaded by the windows, refused by h8sx.
        {"wrong checksum", h + r2 + digit(r3, 12) + r4 + s9, loads, 3, "wrong checksum"},
        {"data record turned into S9", h + r2 + retyped(r3, '9') + r4 + s9, loads, 3,
         "malformed termination record: byte count 13, where an S9 record has 03"},
        {"termination's checksum", h + data + digit(s9, 5), loads, 5, "wrong checksum"},
        {"termination of another kind", h + data + Termination(2), "S2ファイル解析完了", 5,
         "S8 ends a file of S1 records (S9 ends them)"},
        {"data records of two types", h + r2 + r3 + retyped(r4, '2') + s9, loads, 4,
         "an S2 record among S1 records (the type may widen only where the S1 data end, at 0xFFFF)"},
        {"S1 after S2", DataRecord(2, 0, Pattern(4)) + DataRecord(1, 4, Pattern(4)) + Termination(2),
         "S2ファイル解析完了", 2, "an S1 record after S2 records"},
        {"data record turned into S0", h + r2 + retyped(r3, '0') + r4 + s9, loads, 3, "a second header (S0)"},
        {"header after the first record", r2 + h + s9, loads, 2, "a header (S0) after the first record"},
        {"text after the termination", h + data + s9 + "\n  \nS1 junk\n", loads, 8,
         "text after the termination record"},
        {"a blank behind the checksum", h + r2.substr(0, r2.size() - 1) + " \n" + s9, loads, 2,
         "a blank after the checksum"},
        {"a blank before the S", h + " " + r2 + s9, loads, 2, "a blank before the record's S"},
        {"first record above address 0", h + r3 + r4 + s9, loads, 2,
         "the first record lies at address 0x0010, not 0: this board starts at address 0, and a file linked "
         "elsewhere is written shifted and cannot start"},
        // Refused by h8sx first, where the windows stop later.
        {"first data record turned into S2", h + retyped(r2, '2') + r3 + r4 + s9, "アドレスERR 3行", 2,
         "the first record lies at address 0x00E2, not 0: this board starts at address 0, and a file linked "
         "elsewhere is written shifted and cannot start"},
        // Loaded by both.
        {"ended by a count record", h + data + Record('5', 2, 3), loads, 0, ""},
        {"S1 up to 0xFFFF, S2 on from 0x10000",
         r2 + DataRecord(1, 0xFFF0, Pattern(16)) + DataRecord(2, 0x10000, Pattern(16)) + Record('5', 2, 3),
         "S2ファイル解析完了", 0, ""},
        {"blank lines, CR line ends, a final Ctrl-Z", "\r\r" + h + data + s9 + "\r\n \r\n\x1A\x1A", loads, 0,
         ""},
    };
    for (const Damaged& d : cases) {
        SCOPED_TRACE(d.what);
        const Read windows = ReadText(d.text);
        EXPECT_EQ(ImageStatusText(windows.load), d.windows);

        const Read strict = ReadText(d.text, ReadOptions{.strict = true});
        EXPECT_EQ(strict.load.Loaded(), d.strictLine == 0);
        EXPECT_EQ(strict.load.RefusedLine(), d.strictLine);
        EXPECT_EQ(strict.load.Refusal(), d.strictWhat);
        if (strict.load.Loaded()) {
            EXPECT_EQ(ImageBytes(strict), ImageBytes(windows));
        }
        // The windows' outcome is known to the strict reading as well.
        EXPECT_EQ(ImageStatusText(strict.load), d.windows);
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

// Intel HEX files, loaded (line 0) to their image or refused at their line; what the two text
// readers share (placement, hex pairs, line ends) is the S-record reader's story above, and
// extended addresses meet srec_cat's reading in srec_peer_test.
TEST(IntelHexReader, FilesAreLoadedOrRefusedAtTheirLine) {
    struct Case {
        const char* what;
        std::string text;
        std::uint32_t line;
        std::string refusal;
        Bytes image = {};
    };
    const Bytes a = Pattern(16, 1), b = Pattern(16, 2);
    const std::string d0 = HexRecord(0, 0, a), d1 = HexRecord(0, 0x10, b), end = HexRecord(1, 0);
    const Case cases[] = {
        {"CR LF, lower case, blank lines, a final Ctrl-Z",
         "\r\n" + LowerHex(IntelHexFile({{0, a}}, "\r\n")) + " \n\x1A", 0, "", a},
        {"a gap, start addresses passed over, an end record with an address",
         d0 + HexRecord(5, 0, {0, 0, 4, 0}) + HexRecord(3, 0, {0, 0, 1, 0}) + HexRecord(0, 0x20, b) +
             HexRecord(1, 0x1234),
         0, "", Concat({a, Bytes(16, 0xFF), b})},
        {"no end record", d0 + d1, 2, "the file ends without an end record (:00000001FF) after its data"},
        {"a record after the end record", d0 + end + "\n" + d1, 4, "text after the end record"},
        {"wrong checksum", d0 + ":0100100011DF\n" + end, 2, "wrong checksum"},  // DE sums to 0
        {"a blank before the ':'", d0 + " " + d1 + end, 2, "a blank before the record's ':'"},
        {"type 06", d0 + HexRecord(6, 0) + end, 2,
         "record type 06 is none of 00 (data), 01 (end) and 02 to 05 (addresses)"},
        {"a linear address of three bytes", d0 + HexRecord(4, 0, {0, 0, 1}) + end, 2,
         "byte count 03 in an extended linear address record (04), which holds 02"},
        {"a segment address with an offset", d0 + HexRecord(2, 0x10, {0, 0}) + end, 2,
         "address field 0010 in an extended segment address record (02), where it holds 0000"},
        {"data past offset 0xFFFF", d0 + HexRecord(0, 0xFFF8, a) + end, 2,
         "the record's data runs past offset 0xFFFF, where its address would wrap"},
        {"first data above address 0", HexRecord(4, 0, {0, 1}) + d0 + end, 2,
         "the first data record lies at address 0x10000, not 0: this board starts at address 0, and a file "
         "linked elsewhere is written shifted and cannot start"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MemorySource in(c.text);
        FlashImage image;
        const ImageLoad load = ReadIntelHex(in, image);
        EXPECT_EQ(load.RefusedLine(), c.line);
        EXPECT_EQ(load.Refusal(), c.refusal);
        if (load.Loaded()) {
            EXPECT_EQ(Bytes(image.Bytes.begin(), image.Bytes.begin() + image.Length), c.image);
        }
    }
}

TEST(ImageFormat, ABinaryFileFillsTheRoomAtMost) {
    const std::string most(kFlashImageRoom - kTailLength, '\0'), more = most + '\0';
    MemorySource fits(most), past(more);
    FlashImage image;
    EXPECT_TRUE(ReadBinary(fits, image).Loaded());
    EXPECT_EQ(ReadBinary(past, image).fault, ImageFault::TooLarge);
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
