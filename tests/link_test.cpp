// The serial link's waits, in virtual time.
#include <gtest/gtest.h>

#include <array>

#include "tests/support/Rig.h"

namespace h8sx::test {
namespace {

class LinkTest : public ::testing::Test {
protected:
    LinkTest() {
        rig.board.Options().silentAt = sim::Stage::Matching;  // the board never speaks
        rig.form1.Busy = 1;  // as during FWRITE: the tick leaves the port to the waits
        rig.OpenStartupPort();
    }
    ComLink& link() { return rig.form1.Link(); }
    std::uint64_t ms(double v) { return static_cast<std::uint64_t>(v * 1000); }

    Rig rig;
    std::array<std::uint8_t, 20> buf{};
};

TEST_F(LinkTest, WaitTicksLastsItsTicksWhateverThePhase) {
    link().WaitTicks(0);
    EXPECT_EQ(rig.clock, 0u);

    rig.toolkit.Idle(ms(99));  // just before a tick
    const auto start = rig.clock;
    link().WaitTicks(1);
    EXPECT_LE(rig.clock - start, ms(2));

    const auto start20 = rig.clock;
    link().WaitTicks(20);
    EXPECT_GE(rig.clock - start20, ms(1900));
    EXPECT_LE(rig.clock - start20, ms(2000));
    EXPECT_EQ(rig.form1.TickCount, 0);
}

TEST_F(LinkTest, AwaitBootResponseScansTheZeroFilledBuffer) {
    // Awaiting 0x00: a single 0x55 counts, found at position 1 in the zeroed part.
    rig.link.Inject({0x55}, ms(30));
    EXPECT_EQ(link().AwaitBootResponse(buf, 2, 0, 0x00), std::optional<std::size_t>(1));

    // The awaited byte behind another in the same read.
    rig.link.Inject({0x15, 0x06}, rig.clock + ms(10));
    EXPECT_EQ(link().AwaitBootResponse(buf, 10, 0, 0x06), std::optional<std::size_t>(1));

    // Twenty non-zero bytes leave no zero position: awaiting 0x00 goes on to its time-out.
    rig.link.Inject(std::vector<std::uint8_t>(20, 0x41), rig.clock + ms(10));
    EXPECT_EQ(link().AwaitBootResponse(buf, 2, 0, 0x00), std::nullopt);
}

TEST_F(LinkTest, AwaitBootResponseReadsOnlyAboveItsThreshold) {
    rig.link.Inject(std::vector<std::uint8_t>(10, 0x30), ms(10));
    const auto start = rig.clock;
    EXPECT_EQ(link().AwaitBootResponse(buf, 10, 16, 0x30), std::nullopt);
    EXPECT_GE(rig.clock - start, ms(900));
    EXPECT_EQ(rig.link.BytesWaiting(link().ComHandle), 10u);  // left queued

    // Seven more make seventeen: read at once, and only the first 20 are taken.
    rig.link.Inject(std::vector<std::uint8_t>(17, 0x31), rig.clock + ms(5));
    EXPECT_EQ(link().AwaitBootResponse(buf, 10, 16, 0x31), std::optional<std::size_t>(10));
    EXPECT_EQ(rig.link.BytesWaiting(link().ComHandle), 7u);
}

TEST_F(LinkTest, AwaitBootResponseWithoutAwaitedByteTakesAnyRead) {
    rig.link.Inject({0xBF, 0x24}, ms(50));
    EXPECT_EQ(link().AwaitBootResponse(buf, 10, 0, std::nullopt), std::optional<std::size_t>(0));
}

TEST_F(LinkTest, AwaitReplyReadsWhatWaitsAndTimesOutAfterItsTicks) {
    rig.link.Inject({0x15, 0x06, 0x06}, ms(40));
    EXPECT_TRUE(link().AwaitReply(buf, 10));
    EXPECT_EQ(buf[0], 0x15);  // the caller looks at position 0; the wait does not judge

    const int pumps = rig.toolkit.pumpCalls;
    rig.link.Inject({0x06}, rig.clock);
    EXPECT_TRUE(link().AwaitReply(buf, 10));
    EXPECT_EQ(rig.toolkit.pumpCalls, pumps);  // already waiting: read without pumping

    const auto start = rig.clock;
    EXPECT_FALSE(link().AwaitReply(buf, 10));
    EXPECT_GE(rig.clock - start, ms(900));
    EXPECT_LE(rig.clock - start, ms(1000));
    EXPECT_EQ(buf[0], 0);  // zero-filled before the wait
}

TEST_F(LinkTest, AHandlerRunningInsideAWaitReloadsTheSharedCount) {
    // A click 150 ms into a 10-tick wait starts a 2-tick wait of its own: the outer wait
    // finds the count reloaded and ends soon after the inner one.
    rig.toolkit.At(ms(150), [&] { link().WaitTicks(2); });
    const auto start = rig.clock;
    EXPECT_EQ(link().AwaitBootResponse(buf, 10, 0, 0x06), std::nullopt);
    EXPECT_LT(rig.clock - start, ms(400));
}

TEST_F(LinkTest, ReopeningTheOpenPortSucceedsAndAHeldPortFailsSilentlyAtStartup) {
    rig.OpenStartupPort();
    EXPECT_NE(link().ComHandle, kInvalidHandle);
    EXPECT_EQ(rig.link.opened.size(), 2u);

    rig.link.SetHeldElsewhere("COM1", true);
    rig.OpenStartupPort();  // ReportOpenFailure clear: silence
    EXPECT_EQ(link().ComHandle, kInvalidHandle);
    EXPECT_TRUE(rig.toolkit.Statuses().empty());
    EXPECT_EQ(link().BytesWaiting(), 0u);
}

TEST_F(LinkTest, AFailedOpenEndsTheProgramAfterItsMessageWhenReported) {
    rig.link.SetHeldElsewhere("COM1", true);
    rig.form1.ReportOpenFailure = 1;
    const auto start = rig.clock;
    EXPECT_TRUE(rig.ClickExits([&] { rig.form1.OpenComPort("COM1", 19200); }));
    EXPECT_EQ(rig.toolkit.events, (std::vector<std::string>{"beep", "status:ＣＯＭポートオープンできません。終了します。"}));
    EXPECT_GE(rig.clock - start, ms(1900));
}

}  // namespace
}  // namespace h8sx::test
