// h8sx-sim as a program: the board on its pseudo-terminal, spoken to byte by byte
// through the termios serial layer; its rates, resets, pacing, files and options.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include "boot/BootProtocol.h"
#include "platform/posix/PosixSerial.h"
#include "tests/support/Rig.h"
#include "tests/support/SimProcess.h"

namespace h8sx::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

constexpr std::size_t kBannerLength = 39;  // "H8SX1622 virtual board " + 14 bytes of Shift-JIS + CR LF

Bytes WithSum(Bytes b) {
    b.push_back(BootChecksum(b.data(), b.size()));
    return b;
}

// A port on the board's terminal end, set to a rate as the writer sets it.
class Port {
public:
    explicit Port(const SimProcess& sim) : Port(sim.TerminalPath()) {}
    explicit Port(const std::string& path) : h_(device_.CreateFile(path)) {}
    bool Open() const { return h_ != kInvalidHandle; }
    void Rate(std::uint32_t rate) {
        Dcb dcb;
        device_.GetCommState(h_, dcb);
        dcb.BaudRate = rate;
        EXPECT_TRUE(device_.SetCommState(h_, dcb)) << rate;
    }
    std::uint32_t RateInForce() {
        Dcb dcb;
        return device_.GetCommState(h_, dcb) ? dcb.BaudRate : 0;
    }
    void Send(const Bytes& b) { device_.Write(h_, b.data(), b.size()); }
    Bytes Read(std::size_t n, milliseconds quiet = milliseconds(2000)) { return ReadBytes(device_, h_, n, quiet); }
    // Sends and reads the answer of `n` bytes.
    Bytes Ask(const Bytes& b, std::size_t n, milliseconds quiet = milliseconds(2000)) {
        Send(b);
        return Read(n, quiet);
    }
    void Close() { device_.CloseHandle(h_); }
    // A fresh board into its boot program, its rate matched at 19200 bit/s.
    void StartBootProgram() {
        Rate(19200);
        EXPECT_EQ(Ask({0x00}, 1), Bytes{0x00});
        EXPECT_EQ(Ask({0x55}, 1), Bytes{0xE6});
    }

private:
    posix::PosixSerialDevice device_;
    ComHandleValue h_;
};

std::vector<SimLogLine> Lines(const std::vector<SimLogLine>& log, const std::string& what) {
    std::vector<SimLogLine> out;
    for (const auto& l : log)
        if (l.what == what) out.push_back(l);
    return out;
}

TEST(Sim, BootProgramOverThePortWithTheFlashWrittenOut) {
    TempDir dir;
    const std::string flashFile = (dir.path() / "flash.bin").string();
    const std::string logFile = (dir.path() / "sim.log").string();
    SimProcess sim({"--erase-ms", "100", "--flash-out", flashFile, "--log", logFile});
    ASSERT_TRUE(sim.Started());
    Port port(sim);
    ASSERT_TRUE(port.Open());
    port.Rate(19200);

    EXPECT_EQ(port.Ask({0x00}, 1), Bytes{0x00});
    EXPECT_EQ(port.Ask({0x55}, 1), Bytes{0xE6});
    // 38400 bit/s for 10.00 MHz, ratios 4 and 2; the acknowledgement still comes at 19200.
    EXPECT_EQ(port.Ask(WithSum({0x3F, 0x07, 0x01, 0x80, 0x03, 0xE8, 0x02, 0x04, 0x02}), 1), Bytes{0x06});
    // The confirmation sent before the writer changes its rate is noise to the board.
    EXPECT_EQ(port.Ask({0x06}, 1, milliseconds(200)), Bytes{});
    port.Rate(38400);
    EXPECT_EQ(port.Ask({0x06}, 1), Bytes{0x06});
    EXPECT_EQ(port.Ask({0x40}, 1), Bytes{0x06});  // after the erase
    EXPECT_EQ(port.Ask({0x43}, 1), Bytes{0x06});

    Bytes block{0x50, 0x00, 0x00, 0x01, 0x00};  // at 0x100
    for (int i = 0; i < 128; ++i) block.push_back(static_cast<std::uint8_t>(i * 3));
    EXPECT_EQ(port.Ask(WithSum(block), 1), Bytes{0x06});
    EXPECT_EQ(port.Ask({0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}, 1), Bytes{0x06});

    // The file is complete once the end of programming is acknowledged.
    std::ifstream f(flashFile, std::ios::binary);
    const Bytes flash{std::istreambuf_iterator<char>(f), {}};
    ASSERT_EQ(flash.size(), std::size_t{1} << 20);
    Bytes expected(flash.size(), 0xFF);
    std::copy(block.begin() + 5, block.end(), expected.begin() + 0x100);
    EXPECT_EQ(flash, expected);

    EXPECT_EQ(sim.Stop(), 0);
    const auto log = ReadSimLog(logFile);
    const auto in = Lines(log, "host>board");
    ASSERT_GE(in.size(), 4u);
    EXPECT_EQ(in[0].text, "00 19200");
    EXPECT_TRUE(std::any_of(in.begin(), in.end(), [](const SimLogLine& l) {
        return l.text == "06 19200 garbled (board listens at 38400)";
    }));
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const SimLogLine& l) {
        return l.what == "event" && l.text == "flash written to " + flashFile;
    }));
}

// Rates no speed code has, set through the serial layer as the writer sets them, read back,
// and seen by the board as they are; within 1 % of the board's rate is the same rate.
TEST(Sim, CustomBitRatesReachTheBoard) {
    TempDir dir;
    const std::string logFile = (dir.path() / "sim.log").string();
    SimProcess sim({"--log", logFile});
    ASSERT_TRUE(sim.Started());
    Port port(sim);
    port.StartBootProgram();
    EXPECT_EQ(port.Ask(WithSum({0x3F, 0x07, 0x0C, 0x35, 0x03, 0xE8, 0x02, 0x04, 0x02}), 1),
              Bytes{0x06});  // 312500
    port.Rate(312500);
    EXPECT_EQ(port.RateInForce(), 312500u);
    EXPECT_EQ(port.Ask({0x06}, 1), Bytes{0x06});
    // 2083 hundreds: the board works at 208300, the writer at 208333.
    EXPECT_EQ(port.Ask(WithSum({0x3F, 0x07, 0x08, 0x23, 0x03, 0xE8, 0x02, 0x04, 0x02}), 1), Bytes{0x06});
    port.Rate(208333);
    EXPECT_EQ(port.RateInForce(), 208333u);
    EXPECT_EQ(port.Ask({0x06}, 1), Bytes{0x06});
    // Back to a standard speed: custom no more.
    port.Rate(38400);
    EXPECT_EQ(port.RateInForce(), 38400u);

    EXPECT_EQ(sim.Stop(), 0);
    const auto log = ReadSimLog(logFile);
    for (const char* line : {"06 312500", "06 208333"})
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const SimLogLine& l) {
            return l.what == "host>board" && l.text == line;
        })) << line;
    const auto out = Lines(log, "board>host");
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().text, "06 208300");
}

// The faults a verify must catch, switched on from the command line: a flash that holds
// something and is not erased, and a bit that flips once its block is programmed.
TEST(Sim, FlashInNoEraseAndAFlippedBit) {
    TempDir dir;
    const auto image = dir.Write("flash.bin", std::string("\x12\x34", 2));
    SimProcess sim(
        {"--erase-ms", "10", "--flash-in", image.string(), "--no-erase", "--flip-bit-after-block", "0"});
    ASSERT_TRUE(sim.Started());
    Port port(sim);
    port.StartBootProgram();
    EXPECT_EQ(port.Ask({0x40}, 1), Bytes{0x06});
    EXPECT_EQ(port.Ask({0x4D}, 2), (Bytes{0xCD, 0x52}));
    const Bytes read{0x52, 0x09, 0x01, 0, 0, 0, 0, 0, 0, 0, 3};
    EXPECT_EQ(port.Ask(WithSum(read), 9), WithSum({0x52, 0, 0, 0, 3, 0x12, 0x34, 0xFF}));
    EXPECT_EQ(port.Ask({0x43}, 1), Bytes{0x06});
    Bytes block{0x50, 0, 0, 0, 0x80};
    block.resize(5 + 128, 0x00);
    EXPECT_EQ(port.Ask(WithSum(block), 1), Bytes{0x06});
    EXPECT_EQ(port.Ask({0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}, 1), Bytes{0x06});
    const Bytes last{0x52, 0x09, 0x01, 0, 0, 0, 0xFF, 0, 0, 0, 1};
    EXPECT_EQ(port.Ask(WithSum(last), 7), WithSum({0x52, 0, 0, 0, 1, 0x01}));
}

TEST(Sim, TheOwnProgramAnswersAtItsRateAndGarblesForAHostAtAnother) {
    TempDir dir;
    const std::string logFile = (dir.path() / "sim.log").string();
    SimProcess sim({"--log", logFile});
    ASSERT_TRUE(sim.Started());
    Port port(sim);
    port.Rate(19200);

    // Any first byte but 0x00 starts the own program, which talks at 38400.
    const Bytes heard = port.Ask({'x'}, kBannerLength + 1);
    ASSERT_EQ(heard.size(), kBannerLength + 1);
    EXPECT_EQ(heard[0], 'H' ^ 0xA5);
    EXPECT_EQ(heard.back(), 'x' ^ 0xA5);
    EXPECT_EQ(port.Ask({'y'}, 1, milliseconds(200)), Bytes{});  // not understood at 19200

    port.Rate(38400);
    EXPECT_EQ(port.Ask({'z', '\r'}, 3), (Bytes{'z', '\r', '\n'}));
    EXPECT_EQ(sim.Stop(), 0);
    const auto out = Lines(ReadSimLog(logFile), "board>host");
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0].text, "48 38400 garbled (host listens at 19200, reads ED)");
}

// No modem lines: every new opener resets the board, and its first byte picks the start,
// however quickly the port is closed and opened again.
TEST(Sim, EveryOpenOfThePortResetsTheBoard) {
    SimProcess sim;
    ASSERT_TRUE(sim.Started());
    for (int round = 0; round < 10; ++round) {
        Port port(sim);
        ASSERT_TRUE(port.Open());
        if (round % 2 == 0) {
            port.Rate(19200);
            EXPECT_EQ(port.Ask({0x00}, 1), Bytes{0x00}) << round;
        } else {
            port.Rate(38400);
            EXPECT_EQ(port.Ask({'k'}, kBannerLength + 1).size(), kBannerLength + 1) << round;
        }
        port.Close();
    }
    // Another program's failed attempt on a held port is no reset.
    Port holder(sim);
    holder.Rate(19200);
    EXPECT_EQ(holder.Ask({0x00}, 1), Bytes{0x00});
    EXPECT_FALSE(Port(sim).Open());
    EXPECT_EQ(holder.Ask({0x55}, 1), Bytes{0xE6});
}

TEST(Sim, PacedBytesKeepToTheLineRate) {
    TempDir dir;
    const std::string logFile = (dir.path() / "sim.log").string();
    SimProcess sim({"--pace", "--log", logFile});
    ASSERT_TRUE(sim.Started());
    Port port(sim);
    port.Rate(38400);
    const Bytes text(100, 'p');
    port.Send({'s'});
    port.Read(kBannerLength + 1);
    EXPECT_EQ(port.Ask(text, text.size()), text);
    EXPECT_EQ(sim.Stop(), 0);

    // 10 bits a byte at 38400 bit/s: 260 us from one byte to the next, each way.
    const auto log = ReadSimLog(logFile);
    for (const char* way : {"host>board", "board>host"}) {
        const auto lines = Lines(log, way);
        ASSERT_GE(lines.size(), text.size());
        for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_GE(lines[i].micros - lines[i - 1].micros, 260u) << way << i;
    }
}

TEST(Sim, TheLinkIsMadeReplacedAndRemovedAndTheTimeLimitEndsTheBoard) {
    TempDir dir;
    const auto link = dir.path() / "com1";
    std::filesystem::create_symlink("/nonexistent", link);
    {
        SimProcess sim({"--link", link.string(), "--timeout", "0.3"});
        ASSERT_TRUE(sim.Started());
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.TerminalPath());
        // Wired through the link, as a COM port's path.
        ::setenv("H8SX_COM1", link.c_str(), 1);
        posix::PosixSerialDevice d;
        const ComHandleValue h = d.CreateFile("COM1");
        EXPECT_NE(h, kInvalidHandle);
        d.CloseHandle(h);
        EXPECT_EQ(sim.Wait(), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));

    // Something that is not a link is left alone, and the board does not start.
    dir.Write("com1", "keep");
    SimProcess refused({"--link", link.string()});
    EXPECT_FALSE(refused.Started());
    EXPECT_EQ(refused.Wait(), 1);
    std::ifstream kept(link);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
}

TEST(Sim, OptionsAreCheckedAndDocumented) {
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--silent-at", "nowhere"},
                                                {"--erase-ms", "-5"},
                                                {"--stray", "1G"},
                                                {"--flash-in", "/nonexistent/flash.bin"},
                                                {"--timeout"},
                                                {"--frobnicate"}}) {
        SimProcess sim(bad);
        EXPECT_FALSE(sim.Started());
        EXPECT_EQ(sim.Wait(), 2) << bad[0];
    }

    std::string help;
    if (std::FILE* p = ::popen((SimProcess::Program() + " --help").c_str(), "r")) {
        char buf[512];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) help.append(buf, n);
        EXPECT_EQ(::pclose(p), 0);
    }
    for (const char* word : {"--link",
                             "--log",
                             "--timeout",
                             "--flash-out",
                             "--erase-ms",
                             "--pace",
                             "--silent-at",
                             "--match-after",
                             "--short-device-answer",
                             "--wrong-device-code",
                             "--stray",
                             "--refuse-block",
                             "--silent-block",
                             "--flip-bit-after-block",
                             "--no-erase",
                             "--flash-in",
                             "--no-verify-commands",
                             "--chip-timing", "--latency", "--noise", "--seed", "--start-quiet", "--boards", "--swap",
                             "--swap-after", "--wrong-size-answer", "--bad-sum-answer", "--not-taken", "--refuse-read",
                             "--sum-error-block", "--garbled-ack", "--garbled-block", "{n}",
                             "bit-rate-confirmation",
                             "end-of-programming",
                             "仮想ボード起動",
                             "CR LF",
                             "S7"})
        EXPECT_NE(help.find(word), std::string::npos) << word;

    // The help and the version into a full disk, or to a reader that has gone, fail.
    const std::string program = SimProcess::Program();
    for (const char* option : {"--help", "--version"}) {
        const int full = std::system((program + " " + option + " >/dev/full 2>/dev/null").c_str());
        EXPECT_TRUE(WIFEXITED(full) && WEXITSTATUS(full) == 1) << option;
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        ::close(out[0]);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
            ::execl(program.c_str(), program.c_str(), option, nullptr);
            ::_exit(127);
        }
        ::close(out[1]);
        int closed = 0;
        ::waitpid(pid, &closed, 0);
        EXPECT_TRUE(WIFEXITED(closed) && WEXITSTATUS(closed) == 1) << option;
    }
}

bool Logged(const std::vector<SimLogLine>& log, const std::string& text) {
    return std::any_of(log.begin(), log.end(), [&](const SimLogLine& l) { return l.what == "event" && l.text == text; });
}

// Two boards in one process. The first is written, then polled as a station polls (open,
// a 0x00 into its boot program, close) every 200 ms: the board answers until it is taken
// away, then nothing, then the new board answers. The second, opened and left alone,
// greets.
TEST(Sim, AStationOfTwoBoardsWhereAWrittenBoardIsSwapped) {
    TempDir dir;
    const std::string logs = (dir.path() / "board{n}.log").string();
    SimProcess sim({"--boards", "2", "--erase-ms", "10", "--swap", "1", "--swap-after", "0.5", "--log", logs}, 2);
    ASSERT_TRUE(sim.Started());
    ASSERT_EQ(sim.TerminalPaths().size(), 2u);
    {
        Port port(sim.TerminalPaths()[0]);
        port.StartBootProgram();
        Bytes block(133, 0x00);  // 128 bytes of 0x00 at address 0
        block[0] = 0x50;
        for (const Bytes& command : {Bytes{0x40}, Bytes{0x43}, WithSum(block),
                                     Bytes{0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4}})
            ASSERT_EQ(port.Ask(command, 1), Bytes{0x06});
    }
    std::string seen;  // a letter a poll: + answered, - not
    for (int poll = 0; poll < 15; ++poll) {
        const auto next = std::chrono::steady_clock::now() + milliseconds(200);
        Port port(sim.TerminalPaths()[0]);
        port.Rate(19200);
        seen += port.Ask({0x00}, 1, milliseconds(100)) == Bytes{0x00} ? '+' : '-';
        port.Close();
        std::this_thread::sleep_until(next);
    }
    EXPECT_TRUE(std::regex_match(seen, std::regex(R"(\++-+\++)"))) << seen;

    Port other(sim.TerminalPaths()[1]);
    other.Rate(38400);
    EXPECT_EQ(other.Read(kBannerLength, milliseconds(1500)).size(), kBannerLength);
    EXPECT_EQ(sim.Stop(), 0);
    const auto first = ReadSimLog((dir.path() / "board1.log").string());
    EXPECT_TRUE(Logged(first, "board taken from the fixture"));
    EXPECT_TRUE(Logged(first, "a new board in the fixture, its flash erased"));
    EXPECT_TRUE(Logged(ReadSimLog((dir.path() / "board2.log").string()), "nothing came for 500 ms after the port was opened"));
}

// The same bytes through the same seed meet the same flips, both ways; another seed others.
TEST(Sim, NoiseFlipsTheSameBitsForTheSameSeed) {
    Bytes text;
    for (int i = 0; i < 300; ++i) text.push_back(static_cast<std::uint8_t>('a' + i % 26));
    const auto run = [&](const char* seed) {
        TempDir dir;
        const std::string logFile = (dir.path() / "sim.log").string();
        SimProcess sim({"--noise", "0.01", "--seed", seed, "--log", logFile});
        Port port(sim);
        port.Rate(38400);
        port.Send({'x'});
        const Bytes echoed = port.Ask(text, kBannerLength + 1 + 2 * text.size(), milliseconds(500));
        EXPECT_EQ(sim.Stop(), 0);
        // Each direction's flips in its own order: how the two directions interleave in
        // time is the scheduler's, not the seed's.
        std::vector<std::string> toBoard, toHost;
        for (const SimLogLine& l : ReadSimLog(logFile))
            if (l.text.find("noise: host>board") != std::string::npos) toBoard.push_back(l.text);
            else if (l.text.find("noise") != std::string::npos) toHost.push_back(l.text);
        toBoard.insert(toBoard.end(), toHost.begin(), toHost.end());
        return std::make_pair(echoed, toBoard);
    };
    const auto once = run("7"), again = run("7"), other = run("8");
    EXPECT_GT(once.second.size(), 5u);
    EXPECT_EQ(once, again);
    EXPECT_NE(once.second, other.second);
}

}  // namespace
}  // namespace h8sx::test
