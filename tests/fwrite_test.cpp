// FWRITE through bit-rate matching, against the in-process board in virtual time.
#include <gtest/gtest.h>

#include "tests/support/Rig.h"

namespace h8sx::test {
namespace {

using Strings = std::vector<std::string>;

std::size_t Count(const std::vector<std::uint8_t>& v, std::uint8_t b) {
    return static_cast<std::size_t>(std::count(v.begin(), v.end(), b));
}

TEST(Matching, ABoardThatAnswersTheFirstZeroIsMatchedAtOnce) {
    Rig rig;
    rig.board.Options().silentAt = sim::Stage::DeviceInquiry;  // stop right after matching
    rig.form1.Button1Click();
    const Strings s = rig.toolkit.Statuses();
    ASSERT_GE(s.size(), 4u);
    EXPECT_EQ(Strings(s.begin(), s.begin() + 4),
              (Strings{"ビットレート合わせ", "応答ありました1", "ビットレート調整終了", "応答ありました２"}));
    EXPECT_EQ(Count(rig.link.sent, 0x00), 1u);
    EXPECT_EQ(rig.link.opened, Strings{"COM1"});
    EXPECT_EQ(rig.form1.Busy, 0);
    EXPECT_EQ(rig.form1.MonitorPortOpen, 1);
}

TEST(Matching, AnAnswerToTheTenthAttemptStillCounts) {
    Rig rig(SilentAt(sim::Stage::DeviceInquiry));
    rig.board.Options().matchAfter = 10;
    rig.form1.Button1Click();
    EXPECT_EQ(Count(rig.link.sent, 0x00), 10u);
    EXPECT_EQ(rig.toolkit.Statuses().at(3), "応答ありました２");
}

TEST(Matching, NoBoardMeansTenZeroesThenTheMessageWithoutABeep) {
    Rig rig(SilentAt(sim::Stage::Matching));
    rig.form1.Button1Click();
    EXPECT_EQ(rig.link.sent, std::vector<std::uint8_t>(10, 0x00));
    // One beep for the start of the write, none for the failure.
    EXPECT_EQ(rig.toolkit.events,
              (Strings{"beep", "status:ビットレート合わせ", "status:ＣＰＵボード応答ありません"}));
    EXPECT_EQ(rig.form1.Busy, 0);
    // Ten attempts of 100 to 200 ms each, after the two resets.
    EXPECT_GT(rig.Seconds(), 1.0);
    EXPECT_LT(rig.Seconds(), 2.3);
}

TEST(Matching, NoE6MeansABeepThenTheMessage) {
    Rig rig(SilentAt(sim::Stage::MatchConfirm));  // answers 0x55 with 0xFF
    rig.form1.Button1Click();
    EXPECT_EQ(rig.toolkit.events, (Strings{"beep", "status:ビットレート合わせ", "status:応答ありました1",
                                           "status:ビットレート調整終了", "beep", "status:ＣＰＵ応答ありません"}));
    EXPECT_EQ(rig.link.HostRate(), 19200u);
    EXPECT_EQ(rig.form1.Busy, 0);
}

TEST(Matching, E6BehindOtherBytesCountsAndShortRepliesToZeroCount) {
    Rig rig(SilentAt(sim::Stage::Matching));
    // The board stays mute; the answers come by hand. Two stray bytes answer the first
    // 0x00 (any short read counts), then 0xE6 behind 0xFF and a late 0x00.
    bool injected = false;
    rig.toolkit.Every1ms([&] {
        if (!injected && std::count(rig.link.sent.begin(), rig.link.sent.end(), 0x00) == 1) {
            rig.link.Inject({0x12, 0x34}, rig.clock + 2000);
            injected = true;
        }
        if (rig.link.sent.empty() || rig.link.sent.back() != 0x55) return false;
        rig.link.Inject({0xFF, 0x00, 0xE6}, rig.clock + 2000);
        return true;
    });
    rig.form1.Button1Click();
    EXPECT_EQ(Count(rig.link.sent, 0x00), 1u);
    EXPECT_EQ(rig.toolkit.LastStatus(), "ERR1 応答ありません");
    EXPECT_EQ(rig.toolkit.Statuses().at(3), "応答ありました２");
}

TEST(Matching, PulseResetHoldsDtrLowForUpToATickWithRtsLow) {
    Rig rig(SilentAt(sim::Stage::DeviceInquiry));
    rig.OpenStartupPort();
    rig.form1.Button1Click();
    const auto& lc = rig.link.lineChanges;
    // Two pulses (before and after the reopen), and the RTS clear between them.
    ASSERT_GE(lc.size(), 9u);
    struct L { bool dtr, rts; };
    const L expected[] = {{false, false}, {false, false}, {true, false}, {true, false},  // first pulse
                          {true, false},                                                 // CLRRTS
                          {false, false}, {false, false}, {true, false}, {true, false}}; // second pulse
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(lc[i].dtr, expected[i].dtr) << i;
        EXPECT_EQ(lc[i].rts, expected[i].rts) << i;
    }
    EXPECT_LE(lc[7].at - lc[6].at, 100'000u);  // WaitTicks(1)
    EXPECT_TRUE(rig.board.InBootProgram());
}

TEST(Matching, SoundUntickedMeansNoBeepAtAll) {
    Rig rig(SilentAt(sim::Stage::MatchConfirm));
    rig.form1.SoundClicked(false);
    rig.form1.Button1Click();
    EXPECT_EQ(rig.toolkit.Beeps(), 0);
    EXPECT_EQ(rig.toolkit.LastStatus(), "ＣＰＵ応答ありません");
}

TEST(Matching, TheTickedPortIsOpenedAndAClickDuringAWriteStartsNothing) {
    Rig rig(SilentAt(sim::Stage::Matching));
    rig.form1.PortButtonClicked(5);
    int nested = 0;
    rig.toolkit.At(500'000, [&] {
        ++nested;
        rig.form1.Button1Click();
    });
    rig.form1.Button1Click();
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(rig.link.opened, Strings{"COM6"});  // once: the nested click opened nothing
    EXPECT_EQ(rig.toolkit.Statuses(),
              (Strings{"ビットレート合わせ", "ＣＰＵボード応答ありません"}));
}

TEST(Matching, AWriteIsNotReenteredAfterCpuResetClearedBusy) {
    Rig rig;
    rig.form1.Button2Click();  // VIEW
    const std::size_t opens = rig.link.opened.size();
    std::size_t zeroesAtReset = 0, zeroesAfterSecondClick = 0;
    rig.toolkit.Every1ms([&] {
        // The erase command has gone out: the write waits for the board.
        if (rig.link.sent.empty() || rig.link.sent.back() != 0x40) return false;
        rig.form2.Button43Click();  // CPU_RESET clears Busy
        EXPECT_EQ(rig.form1.Busy, 0);
        zeroesAtReset = Count(rig.link.sent, 0x00);
        rig.form1.Button1Click();
        zeroesAfterSecondClick = Count(rig.link.sent, 0x00);
        return true;
    });
    rig.form1.Button1Click();
    EXPECT_GT(zeroesAtReset, 0u);
    EXPECT_EQ(zeroesAfterSecondClick, zeroesAtReset);  // no second bit-rate matching
    EXPECT_EQ(rig.link.opened.size(), opens + 1);
    EXPECT_EQ(rig.form1.WriteRunning, 0);

    // Once the first write has ended, FWRITE starts again.
    rig.form1.Button1Click();
    EXPECT_GT(Count(rig.link.sent, 0x00), zeroesAtReset);
    EXPECT_EQ(rig.link.opened.size(), opens + 2);
}

}  // namespace
}  // namespace h8sx::test
