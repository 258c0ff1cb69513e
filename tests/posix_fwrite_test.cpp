// FWRITE end to end: the real core, the termios serial layer and the real clock, against
// h8sx-sim on a pseudo-terminal that stands as a USB adapter under a /dev of the test's
// own, and so becomes COM1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/TForm1.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/PosixSerial.h"
#include "tests/image_records.h"
#include "tests/support/RealTimeToolkit.h"
#include "tests/support/Rig.h"
#include "tests/support/SimProcess.h"

namespace h8sx::test {
namespace {

using Strings = std::vector<std::string>;

// The writer on the real clock, its COM1 wired to a virtual board started with `simArgs`
// (and a log, and a flash file, in a directory of its own).
struct Bench {
    explicit Bench(std::vector<std::string> simArgs)
        : sim(With(simArgs, {"--erase-ms", "200", "--log", Log(), "--flash-out", Flash()})) {
        ::unsetenv("H8SX_COM1");
        std::filesystem::create_directories(dir.path() / "dev/serial/by-id");
        std::filesystem::create_directories(dir.path() / "sys/class/tty");
        std::filesystem::create_symlink(sim.TerminalPath(), Adapter());
        device.UsePortMap(posix::PortMap(dir.path().string() + "/", (dir.path() / "dev").string(),
                                         (dir.path() / "sys").string()));
        toolkit.form = &form;
    }
    std::string Adapter() const { return (dir.path() / "dev/serial/by-id/usb-h8sx-sim-if00-port0").string(); }
    static std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    std::string Log() const { return (dir.path() / "sim.log").string(); }
    std::string Flash() const { return (dir.path() / "flash.bin").string(); }

    // Ends the board, so that its log is complete.
    std::vector<SimLogLine> StopAndReadLog() {
        EXPECT_EQ(sim.Stop(), 0);
        return ReadSimLog(Log());
    }

    TempDir dir;
    SimProcess sim;
    posix::PosixSerialDevice device;
    RealTimeToolkit toolkit{&device};
    posix::PosixPlatform platform;
    TForm1 form{device, toolkit, platform};
};

// The byte lines for one direction, "<hex> <rate>[ ...]".
Strings ByteLines(const std::vector<SimLogLine>& log, const std::string& what) {
    Strings out;
    for (const auto& l : log)
        if (l.what == what) out.push_back(l.text);
    return out;
}

TEST(EndToEnd, AWholeWriteOverThePseudoTerminal) {
    Bench bench({"--pace"});
    ASSERT_TRUE(bench.sim.Started());
    const Bytes data = Pattern(2000);
    bench.toolkit.dialogAnswers.push(bench.dir.Write("prog.mot", SRecordFile(data)).string());

    bench.form.Button1Click();

    const Strings s = bench.toolkit.Statuses();
    const Strings& dialogue = kSuccessfulDialogue;
    ASSERT_GE(s.size(), dialogue.size());
    EXPECT_EQ(Strings(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(dialogue.size())), dialogue);
    EXPECT_EQ(s.back(), "書き込み正常終了");
    EXPECT_EQ(bench.form.Busy, 0);
    // The adapter was found and given the first number.
    std::ifstream ports(bench.dir.path() / "ports");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(ports), {}), "COM1=" + bench.Adapter() + "\n");

    // The board's flash holds the file, and nothing beyond its last block.
    std::ifstream f(bench.Flash(), std::ios::binary);
    const Bytes flash{std::istreambuf_iterator<char>(f), {}};
    ASSERT_EQ(flash.size(), std::size_t{1} << 20);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + 2048 + 128, flash.end(), [](std::uint8_t b) { return b == 0xFF; }));

    // After the new bit rate, the writer's first byte is the confirmation, at 38400.
    const auto log = bench.StopAndReadLog();
    const auto change = std::find_if(log.begin(), log.end(),
                                     [](const SimLogLine& l) { return l.text == "bit rate changes to 38400"; });
    ASSERT_NE(change, log.end());
    const auto next = std::find_if(change, log.end(), [](const SimLogLine& l) { return l.what == "host>board"; });
    ASSERT_NE(next, log.end());
    EXPECT_EQ(next->text, "06 38400");
    EXPECT_EQ(ByteLines(log, "host>board").front(), "00 19200");
    for (const std::string& b : ByteLines(log, "board>host")) EXPECT_EQ(b.find("garbled"), std::string::npos) << b;
}

TEST(EndToEnd, NoAnswerToTheMatchingEndsWithItsMessage) {
    Bench bench({"--silent-at", "matching"});
    ASSERT_TRUE(bench.sim.Started());
    bench.form.Button1Click();

    EXPECT_EQ(bench.toolkit.events, (Strings{"beep", "status:ビットレート合わせ", "status:ＣＰＵボード応答ありません"}));
    EXPECT_EQ(bench.form.Busy, 0);
    EXPECT_EQ(bench.toolkit.dialogs, 0);
    EXPECT_EQ(ByteLines(bench.StopAndReadLog(), "host>board"), Strings(10, "00 19200"));
}

}  // namespace
}  // namespace h8sx::test
