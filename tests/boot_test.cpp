// The boot-mode dialogue: framing, and every step against the in-process board.
#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "boot/BootAnswers.h"
#include "boot/BootProtocol.h"
#include "tests/support/Rig.h"

namespace h8sx::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

std::uint8_t SumOf(const std::uint8_t* p, std::size_t n) {
    return static_cast<std::uint8_t>(std::accumulate(p, p + n, 0u));
}

TEST(Framing, ChecksumWorkedValuesAndEveryCommandSumsToZero) {
    const Bytes a{0x11, 0x01, 0x00}, b{0x3F, 0x07, 0x01, 0x80, 0x03, 0xE8, 0x02, 0x04, 0x02},
        c{0x50, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(BootChecksum(a.data(), a.size()), 0xEE);
    EXPECT_EQ(BootChecksum(b.data(), b.size()), 0x46);
    EXPECT_EQ(BootChecksum(c.data(), c.size()), 0xB4);
    EXPECT_EQ(EndOfProgrammingCommand(), (std::array<std::uint8_t, 6>{0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}));

    // The fixed commands of the exchange table are complete as they stand.
    for (const BootExchange* x : {&exchange::ClockModeSelection, &exchange::NewBitRate})
        EXPECT_EQ(SumOf(x->command.data(), x->length), 0) << x->name;

    std::mt19937 rng(1622);
    for (int i = 0; i < 500; ++i) {
        Bytes data(rng() % 40);
        for (auto& d : data) d = static_cast<std::uint8_t>(rng());
        const Bytes p = BootPacket(static_cast<std::uint8_t>(rng()), data);
        ASSERT_EQ(p.size(), data.size() + 3);
        EXPECT_EQ(p[1], data.size());
        EXPECT_EQ(SumOf(p.data(), p.size()), 0);

        std::array<std::uint8_t, 128> block{};
        for (auto& d : block) d = static_cast<std::uint8_t>(rng());
        const std::uint32_t address = static_cast<std::uint32_t>(rng()) & ~0x7Fu;
        const auto cmd = ProgramCommand(address, block);
        EXPECT_EQ(SumOf(cmd.data(), cmd.size()), 0);
        EXPECT_EQ(cmd[1] << 24 | cmd[2] << 16 | cmd[3] << 8 | cmd[4], static_cast<int>(address));
    }
}

TEST(Framing, AnInquiryAnswerIsTakenOnlyWhenItsSizeSumAndCountsAgree) {
    const auto summed = [](Bytes a) {
        a.push_back(static_cast<std::uint8_t>(0x100 - SumOf(a.data(), a.size())));
        return a;
    };
    const Bytes twoAreas = summed({0x35, 0x11, 0x02, 0, 0, 0, 0, 0, 0, 0x7F, 0xFF, 0, 0, 0x80, 0, 0, 0x0F, 0xFF, 0xFF});
    struct Case {
        Bytes answer;
        std::uint8_t command;
        AnswerCheck check;
    };
    Bytes badSum = twoAreas;
    badSum.back() ^= 1;
    const Case cases[] = {
        {twoAreas, 0x25, AnswerCheck::Good},
        {badSum, 0x25, AnswerCheck::BadSum},
        {Bytes(twoAreas.begin(), twoAreas.end() - 1), 0x25, AnswerCheck::Short},
        {summed({0x35, 0x09, 0x02, 0, 0, 0, 0, 0, 0, 0x7F, 0xFF}), 0x25, AnswerCheck::BadLayout},  // two areas announced, one there
        {summed({0x36, 0x00, 0x09, 0x01, 0, 0, 0, 0, 0, 0, 0x0F, 0xFF}), 0x26, AnswerCheck::Good},  // a size of two bytes
        {summed({0x37, 0x02, 0x00, 0x80}), 0x25, AnswerCheck::WrongCode},
    };
    for (const Case& c : cases) {
        BoardInfo info;
        EXPECT_EQ(ReadAnswer(c.command, c.answer, info), c.check) << testing::PrintToString(c.answer);
    }
    // Two areas without a gap hold 1 MiB: an image of that fits, one block more does not.
    BoardInfo info;
    ASSERT_EQ(ReadAnswer(0x25, twoAreas, info), AnswerCheck::Good);
    EXPECT_TRUE(FitsUserMat(*info.userMat, 1 << 20));
    EXPECT_FALSE(FitsUserMat(*info.userMat, (1 << 20) + 128));
    EXPECT_FALSE(FitsUserMat({{0, 0x7FFF}, {0x9000, 0xFFFF}}, 0x9000)) << "a gap ends the MAT";
}

// Runs FWRITE against a board with one fault; the dialogue stops there.
struct Fault {
    const char* what;
    sim::Stage stage;
    const char* lastStatus;
    bool beeps;              // the failure beeps when SOUND is ticked
    std::uint32_t rateAtEnd;
};

class BootFaults : public ::testing::TestWithParam<Fault> {};

TEST_P(BootFaults, EachStepFailsWithItsTextAndBeepRule) {
    const Fault& f = GetParam();
    for (bool sound : {true, false}) {
        Rig rig(SilentAt(f.stage));
        if (!sound) rig.form1.SoundClicked(false);
        rig.form1.Button1Click();
        const Strings s = rig.toolkit.Statuses();
        ASSERT_FALSE(s.empty());
        EXPECT_EQ(s.back(), f.lastStatus);
        // Start-of-write beep, then the failure's own if it has one.
        EXPECT_EQ(rig.toolkit.Beeps(), sound ? 1 + f.beeps : 0);
        if (sound && f.beeps) {
            ASSERT_GE(rig.toolkit.events.size(), 2u);
            EXPECT_EQ(rig.toolkit.events[rig.toolkit.events.size() - 2], "beep");
        }
        EXPECT_EQ(rig.link.HostRate(), f.rateAtEnd);
        EXPECT_EQ(rig.form1.Busy, 0);
        EXPECT_EQ(rig.toolkit.dialogs, 0);
        // No final reset: the lines stay as the boot-mode reset left them.
        EXPECT_TRUE(rig.link.Dtr());
        EXPECT_FALSE(rig.link.Rts());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, BootFaults,
    ::testing::Values(
        Fault{"DeviceInquiry", sim::Stage::DeviceInquiry, "ERR1 応答ありません", true, 19200},
        Fault{"DeviceSelection", sim::Stage::DeviceSelection, "ERR 応答ありません4", true, 19200},
        Fault{"ClockModeInquiry", sim::Stage::ClockModeInquiry, "ERR 応答ありません5", true, 19200},
        Fault{"ClockModeSelection", sim::Stage::ClockModeSelection, "クロックモードＥＲＲ６", true, 19200},
        Fault{"RatioInquiry", sim::Stage::RatioInquiry, "ERR 応答ありません7", true, 19200},
        Fault{"FrequencyInquiry", sim::Stage::FrequencyInquiry, "ERR 応答ありません8", true, 19200},
        // A refused bit rate is still an answer: the failure shows at the confirmation.
        Fault{"NewBitRateRefused", sim::Stage::NewBitRate, "新ビットレートERR10", true, 38400},
        Fault{"BitRateConfirmation", sim::Stage::BitRateConfirmation, "新ビットレートERR10", true, 38400},
        Fault{"EraseHangs", sim::Stage::Erase, "消去ERR11", true, 38400},
        Fault{"EraseFails", sim::Stage::EraseFailure, "消去ERR11", true, 38400},
        Fault{"UserMatRefused", sim::Stage::UserMat, "書き込み選択ERR12", true, 38400}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(BootDialogue, ASuccessfulDialogueShowsEveryStepInOrderAtTheRightRates) {
    Rig rig;
    rig.form1.Button1Click();
    const Strings s = rig.toolkit.Statuses();
    const Strings& expected = kSuccessfulDialogue;
    ASSERT_GE(s.size(), expected.size());
    EXPECT_EQ(Strings(s.begin(), s.begin() + static_cast<long>(expected.size())), expected);
    // No success beeps in the dialogue: the only beep so far is the start of the write.
    EXPECT_EQ(rig.toolkit.events[0], "beep");

    // The commands on the wire, each at its rate; the confirmation is the first byte at 38400.
    const Bytes& w = rig.link.sent;
    const Bytes dialogue{0x20, 0x10, 0x04, 0x00, 0x00, 0x00, 0x09, 0xE3, 0x21, 0x11, 0x01, 0x00, 0xEE,
                         0x22, 0x23, 0x3F, 0x07, 0x01, 0x80, 0x03, 0xE8, 0x02, 0x04, 0x02, 0x46, 0x06,
                         0x40, 0x43};
    const auto at = std::search(w.begin(), w.end(), dialogue.begin(), dialogue.end());
    ASSERT_NE(at, w.end());
    const auto confirm = static_cast<std::size_t>(at - w.begin()) + 25;
    EXPECT_EQ(w[confirm], 0x06);
    EXPECT_EQ(rig.link.sentRates[confirm - 1], 19200u);
    EXPECT_EQ(rig.link.sentRates[confirm], 38400u);
    // Every boot command is preceded by a purge of the receive queue.
    EXPECT_GE(rig.link.purges, 10u);
}

TEST(BootDialogue, ADeviceWhoseCodeDoesNotSumToNineIsNotSelected) {
    sim::BoardOptions o;
    o.wrongDeviceCode = true;
    Rig rig(o);
    rig.form1.Button1Click();
    EXPECT_EQ(rig.toolkit.LastStatus(), "H8SX1622ではありません");
    EXPECT_EQ(rig.toolkit.Beeps(), 1);  // the start beep only
    EXPECT_EQ(rig.link.sent.back(), 0x20);
}

TEST(BootDialogue, AShortDeviceAnswerIsNeverRead) {
    sim::BoardOptions o;
    o.shortDeviceAnswer = true;  // 16 bytes: one short of the read threshold
    Rig rig(o);
    rig.form1.Button1Click();
    EXPECT_EQ(rig.toolkit.LastStatus(), "ERR1 応答ありません");
}

TEST(BootDialogue, StrayBytesAheadOfAnswersDoNotHideThem) {
    // Three bytes ahead of every answer: the 0x30 stands at position 3 and the device
    // code is taken from positions 7 to 10.
    sim::BoardOptions o;
    o.strayBytes = {0x15, 0x15, 0x15};
    Rig rig(o);
    rig.form1.Button1Click();
    const Strings s = rig.toolkit.Statuses();
    EXPECT_NE(std::find(s.begin(), s.end(), "ブートマット選択"), s.end());
}

TEST(BootDialogue, ACodeByteTheReadDidNotFillCountsAsZero) {
    // The board is mute; answers to 0x20 come by hand. First 25 bytes without a 0x30
    // (dropped), then 18 bytes with the 0x30 at position 13: the code stands at positions
    // 17 to 20, and only 17 (0x09) was read. Position 20 held a byte of the first read.
    Rig rig(SilentAt(sim::Stage::DeviceInquiry));
    rig.toolkit.Every1ms([&] {
        if (std::find(rig.link.sent.begin(), rig.link.sent.end(), 0x20) == rig.link.sent.end()) return false;
        rig.link.Inject(Bytes(25, 0x41), rig.clock + 2000);
        Bytes answer(18, 0x15);
        const std::uint8_t head[] = {0x30, 0x0D, 0x01, 0x0C, 0x09};
        std::copy(std::begin(head), std::end(head), answer.begin() + 13);
        rig.link.Inject(answer, rig.clock + 300'000);
        return true;
    });
    rig.form1.Button1Click();
    const Bytes selection{0x10, 0x04, 0x09, 0x00, 0x00, 0x00, 0xE3};
    EXPECT_NE(std::search(rig.link.sent.begin(), rig.link.sent.end(), selection.begin(), selection.end()),
              rig.link.sent.end());
    EXPECT_EQ(rig.toolkit.LastStatus(), "ERR 応答ありません4");
}

TEST(BootDialogue, EraseTakesUpToThirtySeconds) {
    sim::BoardOptions slow;
    slow.eraseMicros = 25'000'000;
    Rig rig(slow);
    // Another control's handler runs inside the erase wait: the windows stay live.
    std::string statusDuringClick;
    rig.toolkit.At(10'000'000, [&] {
        statusDuringClick = rig.form1.StatusText();
        rig.form1.PortButtonClicked(3);
    });
    rig.form1.Button1Click();
    EXPECT_EQ(statusDuringClick, "内部ＲＯＭ消去中");
    EXPECT_EQ(rig.form1.Settings[0], '4');
    const auto erased = rig.toolkit.TimeOf("status:内部ＲＯＭ消去しました") - rig.toolkit.TimeOf("status:内部ＲＯＭ消去中");
    EXPECT_GE(erased, 25'000'000u);
    EXPECT_LT(erased, 25'100'000u);

    Rig hang(SilentAt(sim::Stage::Erase));
    hang.form1.Button1Click();
    const auto waited = hang.toolkit.TimeOf("status:消去ERR11") - hang.toolkit.TimeOf("status:内部ＲＯＭ消去中");
    EXPECT_GE(waited, 29'900'000u);
    EXPECT_LE(waited, 30'000'000u);
}

TEST(BootDialogue, BytesWaitingBeforeACommandNeverSatisfyItsWait) {
    Rig rig(SilentAt(sim::Stage::DeviceInquiry));
    rig.OpenStartupPort();
    rig.form1.Busy = 1;
    rig.link.Inject({0x30, 0x06, 0x06, 0x06}, rig.clock + 1000);
    rig.toolkit.Idle(5000);
    ASSERT_EQ(rig.form1.Link().BytesWaiting(), 4u);
    std::array<std::uint8_t, 200> buf{};
    SendBootPacket(rig.form1.Link(), &boot::kAck, 1);
    EXPECT_EQ(rig.form1.Link().AwaitBootResponse(buf, 10, 0, boot::kAck), std::nullopt);
}

}  // namespace
}  // namespace h8sx::test
