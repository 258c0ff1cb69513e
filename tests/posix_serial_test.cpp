// The termios serial layer against the virtual board, run as h8sx-sim on a
// pseudo-terminal: bytes both ways, the receive queue, exclusive opens, the line
// settings, and what a port that cannot be opened does to the program.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "app/TForm1.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/PosixSerial.h"
#include "platform/posix/PortMap.h"
#include "tests/support/RealTimeToolkit.h"
#include "tests/support/Rig.h"
#include "tests/support/SimProcess.h"

namespace h8sx::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using posix::PosixSerialDevice;

// What the board's own program sends at every start: its banner, the Japanese in Shift-JIS.
Bytes Banner() {
    const std::string latin = "H8SX1622 virtual board ";
    Bytes b(latin.begin(), latin.end());
    const Bytes sjis{0x89, 0xBC, 0x91, 0x7A, 0x83, 0x7B, 0x81, 0x5B, 0x83, 0x68, 0x8B, 0x4E, 0x93, 0xAE};  // 仮想ボード起動
    b.insert(b.end(), sjis.begin(), sjis.end());
    b.push_back('\r');
    b.push_back('\n');
    return b;
}

Bytes Plus(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class PosixSerialTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.Started()); }

    // Opens the board's port and sets it up as the writer does: rate, 8 bits, no parity,
    // one stop bit, everything else as the driver has it.
    ComHandleValue Open(PosixSerialDevice& d, std::uint32_t rate) {
        const ComHandleValue h = d.CreateFile(sim.TerminalPath());
        Dcb dcb;
        d.GetCommState(h, dcb);
        dcb.BaudRate = rate;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        d.SetCommState(h, dcb);
        return h;
    }

    void Send(ComHandleValue h, const Bytes& bytes) { ASSERT_EQ(device.Write(h, bytes.data(), bytes.size()), bytes.size()); }

    // Waits until `n` bytes wait in the receive queue (or a generous time has passed).
    std::uint32_t WaitForQueued(ComHandleValue h, std::uint32_t n) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (device.BytesWaiting(h) < n && std::chrono::steady_clock::now() < end) ::usleep(1000);
        ::usleep(20'000);  // and nothing more behind them
        return device.BytesWaiting(h);
    }

    SimProcess sim;
    PosixSerialDevice device;
};

TEST(DevicePath, ComNamesMapToTheEnvironmentOrToTheSerialDevices) {
    // A ports file, /dev and /sys of the test's own: this machine's adapters do not count.
    TempDir dir;
    const std::string root = dir.path().string();
    posix::PortMap map(root + "/", root, root);
    ::unsetenv("H8SX_COM3");
    EXPECT_EQ(map.DevicePathFor("COM1"), root + "/ttyS0");
    EXPECT_EQ(map.DevicePathFor("COM3"), root + "/ttyS2");
    ::setenv("H8SX_COM3", "/tmp/board-port", 1);
    EXPECT_EQ(map.DevicePathFor("COM3"), "/tmp/board-port");
    ::setenv("H8SX_COM3", "", 1);  // empty: as if not set
    EXPECT_EQ(map.DevicePathFor("COM3"), root + "/ttyS2");
    ::unsetenv("H8SX_COM3");
    for (const char* other : {"/dev/ttyUSB0", "COM", "COM0", "COM1x", "com1", "LPT1"})
        EXPECT_EQ(map.DevicePathFor(other), other);
}

TEST(SettingsPlace, AnInstalledProgramKeepsItsSettingsInTheUsersConfiguration) {
    EXPECT_EQ(posix::ConfigDirectoryFor("/home/op/.cfg", "/home/op"), "/home/op/.cfg/h8sx-writer/");
    EXPECT_EQ(posix::ConfigDirectoryFor("/home/op/.cfg/", "/home/op"), "/home/op/.cfg/h8sx-writer/");
    EXPECT_EQ(posix::ConfigDirectoryFor(nullptr, "/home/op"), "/home/op/.config/h8sx-writer/");
    EXPECT_EQ(posix::ConfigDirectoryFor("", "/home/op/"), "/home/op/.config/h8sx-writer/");
    EXPECT_EQ(posix::ConfigDirectoryFor("relative/cfg", "/home/op"), "/home/op/.config/h8sx-writer/");
    // Installed under /usr, the file is never put beside the program, even by root.
    EXPECT_TRUE(posix::IsInstalledProgramsDirectory("/usr/bin/"));
    EXPECT_TRUE(posix::IsInstalledProgramsDirectory("/usr/local/bin/"));
    EXPECT_FALSE(posix::IsInstalledProgramsDirectory("/home/op/usr/bin/"));
    EXPECT_FALSE(posix::IsInstalledProgramsDirectory("/opt/h8sx/"));
    // A program in a directory it may write to keeps the file beside itself.
    posix::PosixPlatform platform;
    EXPECT_EQ(platform.SettingsDirectory(), platform.ExecutableDirectory());
}

TEST_F(PosixSerialTest, EveryByteValuePassesUnchangedBothWays) {
    // Leave the terminal cooked, as another program might: echo, line editing, CR/LF
    // translation, XON/XOFF, signals. Opening the port must undo all of it.
    {
        const int fd = ::open(sim.TerminalPath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios t{};
        ::tcgetattr(fd, &t);
        t.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
        t.c_iflag |= ICRNL | IXON | IXOFF | ISTRIP;
        t.c_oflag |= OPOST | ONLCR;
        ::tcsetattr(fd, TCSANOW, &t);
        ::close(fd);
    }
    const ComHandleValue h = Open(device, 38400);
    ASSERT_NE(h, kInvalidHandle);

    // A first byte other than 0x00 starts the board's own program, which echoes.
    Send(h, {'x'});
    EXPECT_EQ(ReadBytes(device, h, Banner().size() + 1), Plus(Banner(), {'x'}));

    Bytes all;
    for (int v = 0; v < 256; ++v)
        if (v != '\r' && v != '\n') all.push_back(static_cast<std::uint8_t>(v));
    Send(h, all);
    EXPECT_EQ(ReadBytes(device, h, all.size()), all);

    Send(h, {'\r'});
    EXPECT_EQ(ReadBytes(device, h, 3, std::chrono::milliseconds(300)), (Bytes{'\r', '\n'}));
}

TEST_F(PosixSerialTest, TheReceiveQueueCountsReadsAndPurges) {
    const ComHandleValue h = Open(device, 38400);
    Send(h, {'q'});
    const auto n = static_cast<std::uint32_t>(Banner().size() + 1);
    EXPECT_EQ(WaitForQueued(h, n), n);

    Bytes first(5);
    EXPECT_EQ(device.Read(h, first.data(), first.size()), 5u);
    const Bytes banner = Banner();
    EXPECT_EQ(first, Bytes(banner.begin(), banner.begin() + 5));
    EXPECT_EQ(device.BytesWaiting(h), n - 5);

    EXPECT_TRUE(device.PurgeReceive(h));
    EXPECT_EQ(device.BytesWaiting(h), 0u);
    // Nothing waits: a read returns at once, empty.
    EXPECT_EQ(device.Read(h, first.data(), first.size()), 0u);

    // The queue fills again after the purge.
    Send(h, {'r', 's'});
    EXPECT_EQ(WaitForQueued(h, 2), 2u);
}

TEST_F(PosixSerialTest, ThePortIsExclusiveAndCallsOnADeadHandleDoNothing) {
    const ComHandleValue h = device.CreateFile(sim.TerminalPath());
    ASSERT_NE(h, kInvalidHandle);
    EXPECT_NE(h, kNullHandle);
    EXPECT_GE(device.CurrentFd(), 0);
    EXPECT_EQ(device.CreateFile(sim.TerminalPath()), kInvalidHandle);  // one port at a time

    PosixSerialDevice other;
    EXPECT_EQ(other.CreateFile(sim.TerminalPath()), kInvalidHandle);
    EXPECT_EQ(other.CurrentFd(), -1);

    // Calls on a handle that is not open fail and leave the open port alone.
    std::uint8_t b = 0x55;
    for (ComHandleValue dead : {kNullHandle, kInvalidHandle, h + 1}) {
        EXPECT_EQ(device.Write(dead, &b, 1), 0u);
        EXPECT_FALSE(device.PurgeReceive(dead) || device.CloseHandle(dead));
    }
    // A pseudo-terminal has no modem lines.
    EXPECT_FALSE(device.EscapeCommFunction(h, Escape::CLRDTR));

    EXPECT_TRUE(device.CloseHandle(h));
    EXPECT_FALSE(device.CloseHandle(h));
    EXPECT_EQ(device.CurrentFd(), -1);
    const ComHandleValue h2 = other.CreateFile(sim.TerminalPath());
    EXPECT_NE(h2, kInvalidHandle);
    EXPECT_TRUE(other.CloseHandle(h2));
}

TEST_F(PosixSerialTest, CommStateSetsTheNamedFieldsAndKeepsTheRest) {
    const ComHandleValue h = device.CreateFile(sim.TerminalPath());
    ASSERT_NE(h, kInvalidHandle);
    const int fd = device.CurrentFd();

    // A setting the writer does not name, as the driver might have it.
    termios t{};
    ::tcgetattr(fd, &t);
    t.c_cc[VSTART] = 0x05;
    ::tcsetattr(fd, TCSANOW, &t);

    // (A pseudo-terminal keeps to 8 bits without parity whatever it is told: the stop
    // bits and the rate show that the block got through.)
    Dcb dcb;
    ASSERT_TRUE(device.GetCommState(h, dcb));
    dcb.BaudRate = 4800;
    dcb.StopBits = 2;  // two
    ASSERT_TRUE(device.SetCommState(h, dcb));
    ::tcgetattr(fd, &t);
    EXPECT_EQ(::cfgetospeed(&t), B4800);
    EXPECT_EQ(::cfgetispeed(&t), B4800);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_cc[VSTART], 0x05);

    Dcb back;
    ASSERT_TRUE(device.GetCommState(h, back));
    EXPECT_EQ(back.BaudRate, 4800u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, 2);

    // The writer's settings, from the block kept since the open.
    dcb.BaudRate = 19200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_TRUE(device.SetCommState(h, dcb));
    ::tcgetattr(fd, &t);
    EXPECT_EQ(::cfgetospeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));

    // No rate, or a size the driver does not have, is refused, and nothing changes.
    dcb.BaudRate = 0;
    EXPECT_FALSE(device.SetCommState(h, dcb));
    dcb.BaudRate = 19200;
    dcb.ByteSize = 9;
    EXPECT_FALSE(device.SetCommState(h, dcb));
    ::tcgetattr(fd, &t);
    EXPECT_EQ(::cfgetospeed(&t), B19200);
}

// Why a port would not open, as the system said it: a path that is not there, a port held
// (by another device of this process, or by this one), and a port this user may not open.
TEST_F(PosixSerialTest, AFailedOpenKeepsTheSystemsReason) {
    using Kind = OpenError::Kind;
    PosixSerialDevice other;
    EXPECT_EQ(other.CreateFile("/nonexistent/ttyUSB9"), kInvalidHandle);
    const OpenError missing = other.LastOpenError();
    EXPECT_EQ(missing.kind, Kind::Missing);
    EXPECT_EQ(missing.code, ENOENT);
    EXPECT_EQ(missing.text, std::strerror(ENOENT));

    const ComHandleValue held = device.CreateFile(sim.TerminalPath());
    ASSERT_NE(held, kInvalidHandle);
    EXPECT_EQ(other.CreateFile(sim.TerminalPath()), kInvalidHandle);
    EXPECT_EQ(other.LastOpenError().kind, Kind::Busy);
    EXPECT_EQ(device.CreateFile(sim.TerminalPath()), kInvalidHandle);
    EXPECT_EQ(device.LastOpenError().kind, Kind::Busy);
    device.CloseHandle(held);
    // An open that works forgets the failure before it.
    const ComHandleValue h = other.CreateFile(sim.TerminalPath());
    EXPECT_NE(h, kInvalidHandle);
    EXPECT_EQ(other.LastOpenError().kind, Kind::None);
    other.CloseHandle(h);

    // A terminal closed to everyone but its owner, opened by another user: root hands the
    // attempt to a child that becomes nobody; anyone else closes it to themselves too.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master) | ::unlockpt(master), 0);
    const std::string path = ::ptsname(master);
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(::chmod(path.c_str(), root ? 0600 : 0000), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(77);
        PosixSerialDevice d;
        const bool failed = d.CreateFile(path) == kInvalidHandle;
        const OpenError e = d.LastOpenError();
        ::_exit(failed && e.code == EACCES && e.text == std::strerror(EACCES) ? static_cast<int>(e.kind)
                                                                              : 99);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(master);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot become another user here";
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(Kind::Denied));
}

// The writer's own path: OpenComPort on the port that is already open.
TEST_F(PosixSerialTest, OpenComPortReopensTheOpenPortAndTheBoardSeesAReset) {
    ::setenv("H8SX_COM1", sim.TerminalPath().c_str(), 1);
    RealTimeToolkit toolkit(&device);
    posix::PosixPlatform platform;
    TForm1 form(device, toolkit, platform);
    toolkit.form = &form;
    form.Busy = 1;  // keep the tick's receive poll off the port
    form.ReportOpenFailure = 1;

    form.OpenComPort("COM1", 19200);
    const ComHandleValue first = form.Link().ComHandle;
    ASSERT_NE(first, kInvalidHandle);
    // The own program answers at 38400: at 19200 every byte arrives garbled.
    form.Link().SendBytes(Bytes{'a'});
    Bytes garbled = Plus(Banner(), {'a'});
    for (auto& b : garbled) b ^= 0xA5;
    EXPECT_EQ(ReadBytes(device, first, garbled.size()), garbled);

    form.OpenComPort("COM1", 38400);
    const ComHandleValue h = form.Link().ComHandle;
    ASSERT_NE(h, kInvalidHandle);
    EXPECT_EQ(form.Link().ComDcb.BaudRate, 38400u);
    EXPECT_TRUE(toolkit.Statuses().empty());
    // Reopened, the board starts again from the first byte: banner and echo, in clear.
    form.Link().SendBytes(Bytes{'b'});
    EXPECT_EQ(ReadBytes(device, h, Banner().size() + 1), Plus(Banner(), {'b'}));
}

TEST_F(PosixSerialTest, AFailedOpenIsSilentWhileNotReportedAndTheProgramGoesOn) {
    PosixSerialDevice holder;
    const ComHandleValue held = holder.CreateFile(sim.TerminalPath());
    ASSERT_NE(held, kInvalidHandle);
    ::setenv("H8SX_COM1", sim.TerminalPath().c_str(), 1);
    ::setenv("H8SX_COM2", "/nonexistent/port", 1);
    RealTimeToolkit toolkit(&device);
    posix::PosixPlatform platform;
    TForm1 form(device, toolkit, platform);
    toolkit.form = &form;

    for (const char* port : {"COM1", "COM2"}) {
        form.OpenComPort(port, 19200);
        EXPECT_EQ(form.Link().ComHandle, kInvalidHandle) << port;
        EXPECT_EQ(form.Link().BytesWaiting(), 0u);
        form.Link().SendBytes(Bytes{0x00});
        form.Link().PurgeReceive();
    }
    EXPECT_TRUE(toolkit.events.empty());

    // Once the other program lets go, the same call works.
    holder.CloseHandle(held);
    form.OpenComPort("COM1", 38400);
    const ComHandleValue h = form.Link().ComHandle;
    ASSERT_NE(h, kInvalidHandle);
    form.Link().SendBytes(Bytes{'c'});
    EXPECT_EQ(ReadBytes(device, h, Banner().size() + 1), Plus(Banner(), {'c'}));
}

// Reported, the failure ends the process: run it in a child with the real platform.
TEST_F(PosixSerialTest, AFailedOpenWhenReportedEndsTheProgramAfterItsMessage) {
    PosixSerialDevice holder;
    ASSERT_NE(holder.CreateFile(sim.TerminalPath()), kInvalidHandle);
    ::setenv("H8SX_COM1", sim.TerminalPath().c_str(), 1);
    int events[2];
    ASSERT_EQ(::pipe(events), 0);

    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(events[0]);
        PosixSerialDevice d;
        RealTimeToolkit toolkit(&d);
        posix::PosixPlatform platform;
        TForm1 form(d, toolkit, platform);
        toolkit.form = &form;
        toolkit.onEvent = [&](const std::string& e) {
            const std::string line = e + "\n";
            [[maybe_unused]] const ssize_t n = ::write(events[1], line.data(), line.size());
        };
        form.ReportOpenFailure = 1;
        form.OpenComPort("COM1", 19200);
        ::_exit(3);  // not reached: the platform ends the process
    }
    ::close(events[1]);
    std::string seen;
    char buf[256];
    for (ssize_t n; (n = ::read(events[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        seen.append(buf, static_cast<std::size_t>(n));
    }
    ::close(events[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(seen, "beep\nstatus:ＣＯＭポートオープンできません。終了します。\n");
    EXPECT_GE(elapsed, std::chrono::milliseconds(1900));  // the message stands for 20 ticks
}

}  // namespace
}  // namespace h8sx::test
