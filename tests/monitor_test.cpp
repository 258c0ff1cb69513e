// The monitor: received text, the keys, VIEW, CPU_RESET and the restart into the board's
// own program, against the in-process board in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "monitor/MonitorLines.h"
#include "monitor/ReceiveText.h"
#include "monitor/SendText.h"
#include "monitor/ShiftJis.h"
#include "tests/support/Rig.h"

namespace h8sx::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

constexpr std::uint64_t kMs = 1000;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string Take(ReceiveText& r, const Bytes& b) { return r.Take(b.data(), b.size()); }

std::string Decode(std::uint8_t lead, std::uint8_t trail) {
    ReceiveText r;
    return Take(r, {lead, trail});
}

// --- the text of one read ---

TEST(ReceiveText, LineEndsAreOneEachAndACrAtTheEndOfAReadIsNotJoinedToTheNextLf) {
    ReceiveText r;
    EXPECT_EQ(Take(r, B("a\r\nb\rc\nd\n\re")), "a\nb\nc\nd\n\ne");
    EXPECT_EQ(Take(r, B("1\r")), "1\n");
    EXPECT_EQ(Take(r, B("\n2")), "\n2");
}

TEST(ReceiveText, TheTextOfAReadEndsAtItsFirstZeroByte) {
    ReceiveText r;
    EXPECT_EQ(Take(r, {'1', '2', 0, '3', '4'}), "12");
    EXPECT_EQ(Take(r, {0, '5'}), "");
    EXPECT_EQ(Take(r, B("6")), "6");
}

TEST(ReceiveText, ShiftJisAcrossTheWholeCodePage) {
    ReceiveText r;
    // What the board announces itself with.
    EXPECT_EQ(Take(r, {0x89, 0xBC, 0x91, 0x7A, 0x83, 0x7B, 0x81, 0x5B, 0x83, 0x68, 0x8B, 0x4E, 0x93, 0xAE}),
              "仮想ボード起動");
    EXPECT_EQ(Take(r, {0xB1, 0xDF, 0xA1, 0x5C, 0x7E}), "ｱﾟ｡\\~");
    // The first and last rows of both lead ranges, and the extensions of the code page.
    EXPECT_EQ(Decode(0x81, 0x40), "　");
    EXPECT_EQ(Decode(0x81, 0x5F), "＼");
    EXPECT_EQ(Decode(0x87, 0x40), "①");
    EXPECT_EQ(Decode(0x9F, 0xFC), "滌");
    EXPECT_EQ(Decode(0xE0, 0x40), "漾");
    EXPECT_EQ(Decode(0xED, 0x40), "纊");
    EXPECT_EQ(Decode(0xFA, 0x40), "ⅰ");
    EXPECT_EQ(Decode(0xFC, 0x4B), "黑");
    EXPECT_EQ(Decode(0xF0, 0x40), "\uE000");  // user-defined area
}

TEST(ReceiveText, ALeadByteWaitsForItsTrailByteFromTheNextRead) {
    ReceiveText r;
    EXPECT_EQ(Take(r, {'x', 0x82}), "x");
    EXPECT_EQ(Take(r, {0xA0, 'y'}), "あy");

    // MON.CLR forgets it.
    EXPECT_EQ(Take(r, {0x82}), "");
    r.Reset();
    EXPECT_EQ(Take(r, {0xA0}), "\uFFFD");
}

TEST(ReceiveText, InvalidBytesShowAsReplacementsAndNothingAfterThemIsLost) {
    ReceiveText r;
    EXPECT_EQ(Take(r, {0x80, 0xA0, 0xFD, 0xFE, 0xFF, 'a'}), "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFDa");
    // A line end or a zero byte after a lead byte keeps its meaning.
    EXPECT_EQ(Take(r, {0x82, '\r', '\n', 0x82, '\n', 0x82, ' '}), "\uFFFD\n\uFFFD\n\uFFFD ");
    EXPECT_EQ(Take(r, {0x82, 0, 'z'}), "\uFFFD");
    EXPECT_EQ(Take(r, {0x82}), "");
    EXPECT_EQ(Take(r, {0, 'z'}), "\uFFFD");
    // A pair that is no character: an ASCII trail byte is still itself; a pair wholly in
    // the double-byte ranges is one unknown character.
    EXPECT_EQ(Take(r, {0x85, 0x41, 0x85, 0x81, 'b'}), "\uFFFDA\uFFFDb");
    EXPECT_EQ(Take(r, {0x85, 0x82, 0x82, 0xA0}), "\uFFFDあ");
    EXPECT_EQ(Take(r, {0xFC, 0x4C, 0x81, 0x7F}), "\uFFFDL\uFFFD\x7F");
}

// --- typed and piped text to the board ---

std::string Utf8(char32_t c) {
    std::string s;
    AppendUtf8(s, c);
    return s;
}

TEST(SendText, EveryCharacterTheBoardSendsGoesBackAsBytesThatShowAsIt) {
    SendText s;
    for (unsigned b = 0; b <= 0xFF; ++b) {
        const char32_t c = ShiftJisSingle(static_cast<std::uint8_t>(b));
        if (IsShiftJisLead(static_cast<std::uint8_t>(b)) || c == kReplacementCharacter) continue;
        ASSERT_EQ(s.Take(Utf8(c)), std::string(1, static_cast<char>(b))) << std::hex << b;
    }
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
            const char32_t c =
                ShiftJisPair(static_cast<std::uint8_t>(lead), static_cast<std::uint8_t>(trail));
            if (c == 0) continue;
            const std::string sent = s.Take(Utf8(c));
            ASSERT_EQ(sent.size(), 2u) << std::hex << lead << ' ' << trail;
            EXPECT_EQ(ShiftJisPair(static_cast<std::uint8_t>(sent[0]), static_cast<std::uint8_t>(sent[1])),
                      c);
        }
    }
    EXPECT_EQ(s.Unsent(), 0u);
}

TEST(SendText, ACharacterWithSeveralPairsGoesAsWindowsWritesIt) {
    const struct {
        std::string_view text, sent;
    } cases[] = {
        {"≒", "\x81\xE0"},   // JIS X 0208 before NEC row 13 (87 90)
        {"Ⅰ", "\x87\x54"},   // row 13 before the IBM extension (FA 4A)
        {"ⅰ", "\xFA\x40"},   // the IBM extension before the NEC-selected rows (EE EF)
        {"纊", "\xFA\x5C"},  // (ED 40)
        {"￢", "\x81\xCA"},  // (EE F9, FA 54)
        {"∵", "\x81\xE6"},   // (87 9A, FA 5B)
    };
    for (const auto& c : cases) EXPECT_EQ(SendText().Take(c.text), c.sent) << c.text;
}

TEST(SendText, TextCutAnywhereGoesOutAlike) {
    const std::string text = "日本 ｶﾅ\r\x03é😀\xE6\x97x";
    const std::string sent = "\x93\xFA\x96\x7B \xB6\xC5\r\x03x";
    SendText whole;
    EXPECT_EQ(whole.Take(text), sent);
    EXPECT_EQ(whole.Unsent(), 3u);
    EXPECT_EQ(whole.FirstUnsent(), U'é');
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        SendText s;
        std::string bytes = s.Take(text.substr(0, cut));
        bytes += s.Take(text.substr(cut));
        EXPECT_EQ(bytes, sent) << cut;
        EXPECT_EQ(s.Unsent(), 3u);
    }
    SendText s;
    std::string bytes;
    for (char b : text) bytes += s.Take(std::string(1, b));
    EXPECT_EQ(bytes, sent);
    EXPECT_EQ(s.Unsent(), 3u);
}

TEST(SendText, BytesThatAreNoCharacterAreLeftOutAndWhatFollowsThemGoes) {
    const struct {
        std::string_view utf8, sent;
        std::size_t unsent;
    } cases[] = {
        {"\x80z", "z", 1},                    // a continuation byte alone
        {"\xC0\xAFz", "z", 2},                // '/', overlong: C0 begins nothing
        {"\xE0\x80\xAF", "", 3},              // the same in three bytes
        {"\xED\xA0\x80", "", 3},              // a surrogate
        {"\xF4\x90\x80\x80", "", 4},          // beyond U+10FFFF
        {"\xE6\x97\r\n", "\r\n", 1},          // broken off by a line end
        {"\xE6\xE6\x97\xA5", "\x93\xFA", 1},  // broken off by the next character
    };
    for (const auto& c : cases) {
        SendText s;
        EXPECT_EQ(s.Take(c.utf8), c.sent) << testing::PrintToString(c.utf8);
        EXPECT_EQ(s.Unsent(), c.unsent) << testing::PrintToString(c.utf8);
    }

    // A character the input ends in the middle of.
    SendText s;
    EXPECT_EQ(s.Take("\xE6\x97"), "");
    EXPECT_EQ(s.Unsent(), 0u);
    s.Finish();
    EXPECT_EQ(s.Unsent(), 1u);
    EXPECT_EQ(s.FirstUnsent(), kReplacementCharacter);
    EXPECT_EQ(s.Take("\xA5"), "");
    EXPECT_EQ(s.Unsent(), 2u);
}

// --- the display, through the tick ---

class MonitorTest : public ::testing::Test {
protected:
    MonitorTest() { rig.OpenStartupPort(); }
    // Runs the tick up to and including the next one.
    void NextTick() { rig.toolkit.Idle(rig.toolkit.nextTick - rig.clock); }
    std::string& text() { return rig.toolkit.monitorText; }

    Rig rig;
};

TEST_F(MonitorTest, ReadsContinueTheLastLineAndMonClrStartsAfresh) {
    rig.link.Inject(B("hi"), 20 * kMs);
    NextTick();
    EXPECT_EQ(text(), "\nhi");  // below the empty line the text box starts with

    rig.form2.Button42Click();  // MON.CLR
    EXPECT_EQ(text(), "");
    rig.link.Inject(B("12\r\n3"), rig.clock + 10 * kMs);
    NextTick();
    rig.link.Inject(B("4"), rig.clock + 10 * kMs);
    NextTick();
    EXPECT_EQ(text(), "12\n34");

    rig.link.Inject(B("5\r"), rig.clock + 10 * kMs);
    NextTick();
    rig.link.Inject({'\n', 0x82}, rig.clock + 10 * kMs);
    NextTick();
    rig.link.Inject({0xA0, '6', 0, '7'}, rig.clock + 10 * kMs);
    NextTick();
    EXPECT_EQ(text(), "12\n345\n\nあ6");

    EXPECT_TRUE(rig.link.sent.empty());
    EXPECT_EQ(rig.toolkit.Beeps(), 0);
}

TEST_F(MonitorTest, FourHundredBytesWaitingAtOnceAreAllShownInOrder) {
    // Every 80-byte piece ends inside a double-byte character.
    Bytes burst{'x'};
    std::string expected = "\nx";
    for (int i = 0; i < 199; ++i) {
        burst.insert(burst.end(), {0x82, 0xA0});
        expected += "あ";
    }
    burst.push_back('y');
    expected += "y";
    ASSERT_EQ(burst.size(), 400u);
    rig.link.Inject(burst, 50 * kMs);
    for (int i = 0; i < 5; ++i) NextTick();
    EXPECT_EQ(text(), expected);
}

TEST_F(MonitorTest, TheOldestWholeLinesGoOnceTheTextOutgrowsItsBound) {
    // Numbered lines of 100 characters, line end included: 6 digits, 93 "あ", CR LF.
    constexpr std::size_t kLines = (kMonitorKeep + kMonitorSlack) / 100 + 100;
    Bytes board;
    std::string last;
    for (std::size_t n = 1; n <= kLines; ++n) {
        char number[8];
        std::snprintf(number, sizeof number, "%06zu", n);
        board.insert(board.end(), number, number + 6);
        for (int i = 0; i < 93; ++i) board.insert(board.end(), {0x82, 0xA0});
        board.insert(board.end(), {'\r', '\n'});
    }
    rig.link.Inject(board, 20 * kMs);
    NextTick();
    // The empty line the text box starts with, then the oldest lines, down to the bound.
    const std::size_t dropped = kLines - kMonitorKeep / 100;
    EXPECT_EQ(rig.toolkit.droppedLines, dropped + 1);
    EXPECT_EQ(rig.toolkit.droppedCharacters, dropped * 100 + 1);
    EXPECT_EQ(text().size(), kMonitorKeep / 100 * (6 + 93 * 3 + 1));
    char first[8];
    std::snprintf(first, sizeof first, "%06zu", dropped + 1);
    EXPECT_EQ(text().substr(0, 6), first);
}

TEST_F(MonitorTest, NothingIsShownWhileBusyAndWhatWaitsIsShownAtTheNextTickAfter) {
    rig.form1.Busy = 1;  // as while FWRITE runs
    rig.link.Inject(B("late"), 20 * kMs);
    for (int i = 0; i < 3; ++i) NextTick();
    EXPECT_EQ(text(), "\n");

    rig.form1.Busy = 0;
    NextTick();
    EXPECT_EQ(text(), "\nlate");
}

// --- the keys ---

TEST_F(MonitorTest, EveryKeySendsItsOneByteWithABeep) {
    TForm2& f = rig.form2;
    f.KeyClick(0);   // A
    f.KeyClick(25);  // Z
    f.KeyClick(33);  // 7
    f.SmallLetter = true;
    f.KeyClick(0);
    f.KeyClick(25);
    f.KeyClick(33);
    for (int key = 36; key <= 40; ++key) f.KeyClick(key);  // / * - + Enter
    EXPECT_EQ(rig.link.sent, (Bytes{'A', 'Z', '7', 'a', 'z', '7', '/', '*', '-', '+', 0x0D}));
    EXPECT_EQ(rig.toolkit.Beeps(), 11);

    rig.form1.SoundClicked(false);
    f.KeyClick(26);  // 0
    EXPECT_EQ(rig.link.sent.back(), '0');
    EXPECT_EQ(rig.toolkit.Beeps(), 11);
}

TEST(MonitorKeys, AKeyDuringFwriteSendsNothingAndDoesNotBeep) {
    Rig rig(SilentAt(sim::Stage::Matching));
    rig.toolkit.At(400 * kMs, [&] { rig.form2.KeyClick(0); });
    rig.form1.Button1Click();
    EXPECT_EQ(rig.form2.KeyChar, 'A');
    EXPECT_EQ(std::count(rig.link.sent.begin(), rig.link.sent.end(), 'A'), 0);
    EXPECT_EQ(rig.toolkit.Beeps(), 1);  // the write's own
}

// --- VIEW ---

TEST(View, DuringFwriteItDoesNothingAtAll) {
    Rig rig(SilentAt(sim::Stage::Matching));
    rig.toolkit.At(400 * kMs, [&] { rig.form1.Button2Click(); });
    rig.form1.Button1Click();
    EXPECT_EQ(rig.toolkit.monitorShown, 0);
    EXPECT_EQ(rig.link.opened, Strings{"COM1"});  // the write's own open
    EXPECT_EQ(rig.toolkit.Beeps(), 1);
}

TEST(View, TheFirstOpensTheTickedPortAt38400AndTheSecondOnlyShows) {
    Rig rig;
    rig.OpenStartupPort();
    rig.form1.PortButtonClicked(5);  // COM6
    rig.form1.Button2Click();
    EXPECT_EQ(rig.link.opened, (Strings{"COM1", "COM6"}));
    EXPECT_EQ(rig.link.HostRate(), 38400u);

    rig.form1.PortButtonClicked(0);  // only saved: the port stays
    rig.form1.Button2Click();
    EXPECT_EQ(rig.link.opened.size(), 2u);
    EXPECT_EQ(rig.toolkit.monitorShown, 2);
    EXPECT_EQ(rig.toolkit.Beeps(), 2);

    rig.form1.SoundClicked(false);
    rig.form1.Button2Click();
    EXPECT_EQ(rig.toolkit.Beeps(), 2);
}

TEST(View, AfterAnFwriteItKeepsThePortAsTheWriteLeftIt) {
    Rig rig(SilentAt(sim::Stage::Matching));
    rig.form1.Button1Click();
    rig.form1.Button2Click();
    EXPECT_EQ(rig.link.opened, Strings{"COM1"});
    EXPECT_EQ(rig.link.HostRate(), 19200u);
    EXPECT_EQ(rig.toolkit.monitorShown, 1);
}

// --- CPU_RESET and the restart into the board's own program ---

TEST(CpuReset, DrivesTheStartupPortDtrLowForTwoTicksWithRtsSet) {
    Rig rig;
    rig.OpenStartupPort();
    rig.toolkit.Idle(50 * kMs);
    rig.form1.Busy = 1;
    rig.form2.Button43Click();

    ASSERT_EQ(rig.link.lineChanges.size(), 3u);
    const auto& l = rig.link.lineChanges;
    EXPECT_EQ(l[0].at, 50 * kMs);
    EXPECT_TRUE(l[0].rts);
    EXPECT_EQ(l[1].at, 50 * kMs);
    EXPECT_FALSE(l[1].dtr);
    EXPECT_TRUE(l[1].rts);
    EXPECT_EQ(l[2].at, 200 * kMs);  // the second tick after the clear
    EXPECT_TRUE(l[2].dtr);
    EXPECT_TRUE(l[2].rts);
    EXPECT_EQ(rig.form1.Busy, 0);
    EXPECT_TRUE(rig.board.InOwnProgram());
    EXPECT_EQ(rig.link.HostRate(), 19200u);
    EXPECT_EQ(rig.link.opened.size(), 1u);
    EXPECT_EQ(rig.toolkit.Beeps(), 1);
}

TEST(CpuReset, WithoutAPortItStillWaitsAndClearsBusyInSilence) {
    Rig rig;
    rig.form1.Busy = 1;
    rig.form2.Button43Click();
    EXPECT_TRUE(rig.link.lineChanges.empty());
    EXPECT_EQ(rig.form1.Busy, 0);
    EXPECT_GE(rig.clock, 200 * kMs);
    EXPECT_TRUE(rig.toolkit.Statuses().empty());
}

TEST(CpuReset, AfterViewTheBoardsAnnouncementAppearsInTheMonitor) {
    Rig rig;
    rig.OpenStartupPort();
    rig.form1.Button2Click();
    rig.form2.Button42Click();
    rig.form2.Button43Click();
    rig.toolkit.Idle(300 * kMs);
    EXPECT_EQ(rig.toolkit.monitorText, "H8SX1622 virtual board 仮想ボード起動\n");

    rig.form2.KeyClick(7);  // H
    rig.form2.KeyClick(40);
    rig.toolkit.Idle(300 * kMs);
    EXPECT_EQ(rig.toolkit.monitorText, "H8SX1622 virtual board 仮想ボード起動\nH\n");
}

}  // namespace
}  // namespace h8sx::test
