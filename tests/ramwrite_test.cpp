// RAM_WRITE: the restart, the byte stream the board receives and the board's answer.
#include <gtest/gtest.h>

#include <string_view>

#include "tests/support/Rig.h"

namespace h8sx::test {
namespace {

using Strings = std::vector<std::string>;

constexpr std::uint64_t kMs = 1000;

// Two S3 records of 8 data bytes each between a header and an end record.
constexpr std::string_view kS0 = "S00F000068656C6C6F202020202000003C";
constexpr std::string_view kRec1 = "S30D000000000001020304050607DC";
constexpr std::string_view kRec2 = "S30D000000080809080B0C0D0E0FAA";
constexpr std::string_view kS7 = "S70500000000FA";

std::string Lines(std::initializer_list<std::string_view> lines, std::string_view end) {
    std::string s;
    for (auto l : lines) (s += l) += end;
    return s;
}

class RamWriteTest : public ::testing::Test {
protected:
    RamWriteTest() {
        rig.OpenStartupPort();
        rig.form1.Button2Click();  // VIEW: the board's own program talks at 38400 bit/s
        rig.toolkit.events.clear();
    }
    // RAM_WRITE of a file holding `content`; what went out on the line.
    std::string Send(const std::string& content) {
        rig.toolkit.dialogAnswers.push(rig.dir.Write("load.mot", content).string());
        rig.link.sent.clear();
        rig.form1.Button3Click();
        return std::string(rig.link.sent.begin(), rig.link.sent.end());
    }
    void ExpectRestart() {
        const auto& l = rig.link.lineChanges;
        ASSERT_GE(l.size(), 3u);
        EXPECT_TRUE(!l[l.size() - 2].dtr && l[l.size() - 2].rts);
        EXPECT_TRUE(l.back().dtr && l.back().rts);
        EXPECT_EQ(rig.form1.Busy, 0);
    }
    Strings Done() { return {"status:ファイル転送中です", "status:ファイル転送終了しました", "beep"}; }

    Rig rig;
};

TEST_F(RamWriteTest, S3RecordsGoOutWithoutTheHeaderAndEndWithS7Cr) {
    const std::string expected = Lines({kRec1, kRec2}, "\r\n") + "S7\r";
    // Whatever follows the end record is never read.
    EXPECT_EQ(Send(Lines({kS0, kRec1, kRec2, kS7}, "\r\n") + "S1 after the end\r\n"), expected);
    ExpectRestart();
    EXPECT_EQ(rig.toolkit.events, Done());

    for (const char* end : {"\n", "\r", "\r\r\n"}) EXPECT_EQ(Send(Lines({kS0, kRec1, kRec2, kS7, kRec1}, end)), expected);
}

TEST_F(RamWriteTest, S1RecordsEndingInS9GoOutToTheEndOfTheFile) {
    const std::string_view s1a = "S1130000000102030405060708090A0B0C0D0E0F74", s1b = "S107001000112233F5",
                           s9 = "S9030000FC";
    EXPECT_EQ(Send(Lines({kS0, s1a, s1b, s9}, "\n")), Lines({s1a, s1b, s9}, "\r\n"));
    EXPECT_EQ(rig.toolkit.events, Done());
}

TEST_F(RamWriteTest, AnS7RightAfterTheHeaderStillEndsTheLoad) {
    EXPECT_EQ(Send(Lines({kS0, kS7, kRec1}, "\n") + "tail"), "S7\r");
    EXPECT_EQ(rig.toolkit.events, Done());
}

TEST_F(RamWriteTest, TextModeRulesAndFilesThatEndEarly) {
    // CRs before an LF vanish, CRs before anything else are one line end; Ctrl-Z ends the file.
    EXPECT_EQ(Send("ab\rc\r\r\nd\r\r\x1A" "e\n"), "ab\r\nc\r\nd\r\n");
    // A file that ends inside the header sends nothing.
    EXPECT_EQ(Send(std::string(kS0)), "");
    // An "S" with no type character goes alone; a line end after it stays one.
    EXPECT_EQ(Send("xS\nS"), "xS\r\nS");
    EXPECT_EQ(rig.toolkit.Statuses().back(), "ファイル転送終了しました");
}

TEST_F(RamWriteTest, CancelStillRestartsTheBoardAndAFileThatWillNotOpenSendsNothing) {
    rig.form1.Button3Click();  // no answer queued: cancelled
    ExpectRestart();
    EXPECT_TRUE(rig.toolkit.events.empty());
    EXPECT_TRUE(rig.link.sent.empty());

    rig.toolkit.dialogAnswers.push((rig.dir.path() / "missing.mot").string());
    rig.form1.Button3Click();
    EXPECT_EQ(rig.toolkit.events, Strings{"status:ファイル転送中です"});
    EXPECT_TRUE(rig.link.sent.empty());
}

TEST_F(RamWriteTest, TheBoardsAnswerShowsInTheMonitor) {
    Send(Lines({kS0, kRec1, kRec2, kS7}, "\r\n"));
    rig.toolkit.Idle(300 * kMs);
    const std::string& text = rig.toolkit.monitorText;
    EXPECT_NE(text.find("仮想ボード起動\n"), std::string::npos);
    EXPECT_NE(text.find(std::string(kRec2) + "\nS7\nRAM: 2 records, 16 bytes ロード完了\n"), std::string::npos);
}

TEST(RamWrite, WithoutAPortTheTransferStillRunsThroughTheFile) {
    Rig rig;
    rig.toolkit.dialogAnswers.push(rig.dir.Write("a.mot", "S1050000AA50\nS9030000FC\n").string());
    rig.form1.Button3Click();
    EXPECT_TRUE(rig.link.sent.empty());
    EXPECT_EQ(rig.toolkit.LastStatus(), "ファイル転送終了しました");
}

}  // namespace
}  // namespace h8sx::test
