// The Windows serial layer against the virtual board, run under wine with the board's
// pseudo-terminal as COM1 (tests/wine/with-sim.sh starts it).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/TForm1.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/Win32Serial.h"
#include "platform/win32/WinApi.h"

namespace h8sx::win32 {
namespace {

constexpr const char* kPort = "COM1";
constexpr std::uint32_t kOwnProgramRate = 38400;  // the board's own program

// How long the board may take to answer before a test gives up on it. Only a guard
// against a hang: nothing here depends on how quickly bytes come.
constexpr ULONGLONG kPatienceMs = 5000;

class Win32SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        h = dev.CreateFile(kPort);
        ASSERT_NE(h, kInvalidHandle) << "COM1 is not wired to the virtual board";
        Configure(kOwnProgramRate);
    }
    void TearDown() override { dev.CloseHandle(h); }

    void Configure(std::uint32_t rate) {
        Dcb dcb;
        ASSERT_TRUE(dev.GetCommState(h, dcb));
        dcb.BaudRate = rate;
        dcb.ByteSize = 8;
        dcb.Parity = 0;
        dcb.StopBits = 0;
        ASSERT_TRUE(dev.SetCommState(h, dcb));
        EXPECT_TRUE(dev.SetupComm(h, 50000, 50000));
    }

    void Send(const std::string& s) {
        EXPECT_EQ(dev.Write(h, reinterpret_cast<const std::uint8_t*>(s.data()), s.size()), s.size());
    }

    // Reads whatever comes until `text` has arrived (or the board is given up on).
    std::string ReceiveUntil(const std::string& text) {
        std::string got;
        const ULONGLONG end = GetTickCount64() + kPatienceMs;
        while (got.find(text) == std::string::npos && GetTickCount64() < end) {
            std::uint8_t buf[64];
            const std::size_t n = dev.Read(h, buf, sizeof buf);
            got.append(reinterpret_cast<const char*>(buf), n);
            if (n == 0) Sleep(1);
        }
        return got;
    }

    // Waits until at least n bytes wait in the driver.
    std::uint32_t AwaitWaiting(std::uint32_t n) {
        const ULONGLONG end = GetTickCount64() + kPatienceMs;
        std::uint32_t w = 0;
        while ((w = dev.BytesWaiting(h)) < n && GetTickCount64() < end) Sleep(1);
        return w;
    }

    Win32SerialDevice dev;
    ComHandleValue h = kNullHandle;
};

TEST_F(Win32SerialTest, BytesGoBothWays) {
    // A first byte other than 0x00 starts the board's own program, which announces
    // itself and echoes what it gets.
    Send("A");
    const std::string banner = ReceiveUntil("\r\nA");
    EXPECT_NE(banner.find("H8SX1622 virtual board"), std::string::npos) << banner;
    EXPECT_NE(banner.find("\r\nA"), std::string::npos) << banner;

    // Every byte value passes unchanged: no CR/LF translation, no character processing.
    Send("xyz\r");
    EXPECT_EQ(ReceiveUntil("xyz\r\n"), "xyz\r\n");
}

TEST_F(Win32SerialTest, CountsWaitingBytesAndReadsNoMoreThanThere) {
    Send("B");
    ReceiveUntil("\r\nB");
    Send("0123456789");
    EXPECT_EQ(AwaitWaiting(10), 10u);
    std::uint8_t buf[32] = {};
    // Asking for more than waits returns what waits, without blocking for the rest.
    EXPECT_EQ(dev.Read(h, buf, 4), 4u);
    EXPECT_EQ(dev.BytesWaiting(h), 6u);
    EXPECT_EQ(dev.Read(h, buf + 4, sizeof buf - 4), 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), "0123456789");
    EXPECT_EQ(dev.Read(h, buf, sizeof buf), 0u);
}

TEST_F(Win32SerialTest, PurgeDiscardsWhatWasReceived) {
    Send("C");
    ReceiveUntil("\r\nC");
    Send("12345");
    ASSERT_EQ(AwaitWaiting(5), 5u);
    EXPECT_TRUE(dev.PurgeReceive(h));
    EXPECT_EQ(dev.BytesWaiting(h), 0u);
    // The line goes on working after the purge.
    Send("6");
    EXPECT_EQ(ReceiveUntil("6"), "6");
}

TEST_F(Win32SerialTest, ReopeningRestartsTheBoard) {
    Send("D");
    ReceiveUntil("\r\nD");
    // Close first, as every open of the writer does: the exclusive port opens again.
    EXPECT_TRUE(dev.CloseHandle(h));
    h = dev.CreateFile(kPort);
    ASSERT_NE(h, kInvalidHandle);
    Configure(kOwnProgramRate);
    // On a pseudo-terminal the reopen is the board's reset: it announces itself again.
    Send("E");
    const std::string again = ReceiveUntil("\r\nE");
    EXPECT_NE(again.find("H8SX1622 virtual board"), std::string::npos) << again;
}

TEST_F(Win32SerialTest, KeepsTheDriversOtherSettings) {
    Dcb dcb;
    ASSERT_TRUE(dev.GetCommState(h, dcb));
    EXPECT_EQ(dcb.BaudRate, kOwnProgramRate);
    EXPECT_EQ(dcb.ByteSize, 8);
    DCB before;
    std::memcpy(&before, dcb.Raw.data(), sizeof before);
    EXPECT_EQ(before.BaudRate, kOwnProgramRate);

    dcb.BaudRate = 19200;
    ASSERT_TRUE(dev.SetCommState(h, dcb));
    Dcb after;
    ASSERT_TRUE(dev.GetCommState(h, after));
    EXPECT_EQ(after.BaudRate, 19200u);
    DCB raw;
    std::memcpy(&raw, after.Raw.data(), sizeof raw);
    EXPECT_EQ(raw.XonChar, before.XonChar);
    EXPECT_EQ(raw.XoffChar, before.XoffChar);
    EXPECT_EQ(raw.fOutxCtsFlow, before.fOutxCtsFlow);
    EXPECT_EQ(raw.fInX, before.fInX);
}

// Any rate goes to the driver; one it does not take is refused, and the rate in force is
// always the one the last SetCommState that succeeded asked for.
TEST_F(Win32SerialTest, ARateIsSetAsItIsOrRefused) {
    for (std::uint32_t rate : {57600u, 312500u, 208333u}) {
        Dcb dcb;
        ASSERT_TRUE(dev.GetCommState(h, dcb));
        const std::uint32_t before = dcb.BaudRate;
        dcb.BaudRate = rate;
        const bool set = dev.SetCommState(h, dcb);
        Dcb now;
        ASSERT_TRUE(dev.GetCommState(h, now));
        EXPECT_EQ(now.BaudRate, set ? rate : before) << rate;
    }
}

// Why a port would not open, in the system's words, and nothing after an open that works.
// (Wine lets a second handle open a port that is held, so that kind is not tried here.)
TEST_F(Win32SerialTest, AFailedOpenKeepsTheSystemsReason) {
    Win32SerialDevice other;
    EXPECT_EQ(other.CreateFile("\\\\.\\COM97"), kInvalidHandle);
    const OpenError missing = other.LastOpenError();
    EXPECT_EQ(missing.kind, OpenError::Kind::Missing) << missing.code << " " << missing.text;
    EXPECT_FALSE(missing.text.empty());
    EXPECT_NE(missing.text.back(), '\n');
    EXPECT_EQ(dev.LastOpenError().kind, OpenError::Kind::None);
}

// The port table: COM1 to COM6 in order whether or not they are there, and the wired COM1
// present under the system's own name for it.
TEST(Win32Ports, TheWiredPortIsListedUnderItsNumber) {
    const std::vector<PortEntry> ports = Win32Platform().ListPorts();
    ASSERT_GE(ports.size(), 6u);
    for (int n = 0; n < 6; ++n) EXPECT_EQ(ports[n].name, "COM" + std::to_string(n + 1));
    EXPECT_TRUE(ports[0].present);
    EXPECT_EQ(ports[0].device, "\\\\.\\COM1");
    EXPECT_FALSE(ports[0].detail.empty());
    EXPECT_EQ(PortToolTip(ports[0]), "COM1: " + ports[0].detail);
    EXPECT_EQ(PortToolTip(ports[5]), "COM6: no port");
}

}  // namespace
}  // namespace h8sx::win32
