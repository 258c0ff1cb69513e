// h8sx's commands run in process, on the in-process board and a virtual clock: what a
// pseudo-terminal cannot show (the modem lines of the board's restart after a stop) and
// what wants an exact moment (a file rewritten while the flash is erased).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "cli/Arguments.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "cli/SerialNumber.h"
#include "cli/Session.h"
#include "tests/image_records.h"
#include "tests/support/Rig.h"

namespace h8sx::test {
namespace {

struct CliRig {
    explicit CliRig(sim::BoardOptions board = {}) : rig(std::move(board)) {
        options.ports = {"COM1"};
        rig.toolkit.form = nullptr;  // no main window: the session has its own tick
        rig.toolkit.onTick = [this] { session.Tick(); };
    }
    ~CliRig() { std::fclose(err); }

    // Runs `step` every virtual millisecond until it returns true.
    void When(std::function<bool()> condition, std::function<void()> action) {
        rig.toolkit.Every1ms([condition = std::move(condition), action = std::move(action)] {
            if (!condition()) return false;
            action();
            return true;
        });
    }
    bool BoardSaid(const std::string& event) const {
        for (const sim::LogEntry& e : rig.board.Log())
            if (e.kind == sim::LogEntry::Event && e.text.find(event) == 0) return true;
        return false;
    }
    std::string Err() const {
        std::string text;
        std::rewind(err);
        for (int c; (c = std::fgetc(err)) != EOF;) text += static_cast<char>(c);
        return text;
    }

    Rig rig;
    cli::Options options;
    std::FILE* err = std::tmpfile();
    cli::Output out{false, false, err};
    cli::StoppableDevice device{rig.link, [this] { return rig.toolkit.StopRequested(); }};
    cli::Session session{options, device, rig.platform, rig.toolkit, out};
};

// RTS set, DTR cleared, DTR set: the board restarted into its own program.
void ExpectRestartedLast(const CliRig& c) {
    const auto& lc = c.rig.link.lineChanges;
    ASSERT_GE(lc.size(), 3u);
    EXPECT_TRUE(lc[lc.size() - 3].dtr && lc[lc.size() - 3].rts);
    EXPECT_TRUE(!lc[lc.size() - 2].dtr && lc[lc.size() - 2].rts);
    EXPECT_TRUE(lc.back().dtr && lc.back().rts);
    EXPECT_TRUE(c.rig.board.InOwnProgram());
}

TEST(CliSession, AStopRestartsTheBoardAndSaysWhatTheFlashHolds) {
    struct Case {
        const char* when;
        std::function<bool(const CliRig&)> stopNow;
        const char* said;
    };
    const auto programmingStarted = [](const CliRig& c) {
        const Bytes& sent = c.rig.link.sent;
        const auto mat = std::find(sent.begin(), sent.end(), std::uint8_t{0x43});
        return mat != sent.end() && sent.end() - mat > 10 * 134;
    };
    const Case cases[] = {
        {"matching", [](const CliRig& c) { return !c.rig.link.sent.empty(); }, "the flash is as it was"},
        {"erase", [](const CliRig& c) { return c.BoardSaid("erasing"); }, "the flash may be partly erased"},
        {"programming", programmingStarted, "the flash holds the first "},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.when);
        CliRig c;
        c.options.file = c.rig.dir.Write("app.mot", SRecordFile(Pattern(40 * 128), 1)).string();
        c.When([&] { return k.stopNow(c); }, [&] { c.rig.toolkit.stopAt = c.rig.clock; });
        EXPECT_EQ(cli::Write(c.session), cli::kInterrupted);
        ExpectRestartedLast(c);
        EXPECT_NE(c.Err().find("interrupted: "), std::string::npos) << c.Err();
        EXPECT_NE(c.Err().find(k.said), std::string::npos) << c.Err();
        EXPECT_EQ(c.Err().find("TIME OUT"), std::string::npos) << "no failure shown for the stop";
    }
}

TEST(CliSession, APortThatGoesAwayEndsTheWriteAtOnceInEveryWait) {
    struct Case {
        const char* when;
        std::function<bool(const CliRig&)> pullNow;
        int status;
        const char* said;
    };
    const auto sentAfterMat = [](const CliRig& c, std::ptrdiff_t bytes) {
        const Bytes& sent = c.rig.link.sent;
        const auto mat = std::find(sent.begin(), sent.end(), std::uint8_t{0x43});
        return mat != sent.end() && sent.end() - mat > bytes;
    };
    const Case cases[] = {
        {"matching", [](const CliRig& c) { return !c.rig.link.sent.empty(); }, cli::kPortNotOpened,
         "the flash is as it was"},
        {"erase", [](const CliRig& c) { return c.BoardSaid("erasing"); }, cli::kTransferFailed,
         "the flash may be partly erased"},
        {"programming", [&](const CliRig& c) { return sentAfterMat(c, 10 * 134); }, cli::kTransferFailed,
         "the flash holds the first "},
        {"read back", [&](const CliRig& c) { return c.BoardSaid("end of programming") && sentAfterMat(c, 40 * 134 + 6 + 12); }, cli::kTransferFailed,
         "all 40 blocks were acknowledged"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.when);
        CliRig c;
        c.options.file = c.rig.dir.Write("app.mot", SRecordFile(Pattern(40 * 128), 1)).string();
        c.options.verify = Verify::Read;
        std::uint64_t pulledAt = 0;
        c.When([&] { return k.pullNow(c); },
               [&] {
                   c.rig.link.Unplug();
                   pulledAt = c.rig.clock;
               });
        EXPECT_EQ(cli::Write(c.session), k.status);
        EXPECT_LT(c.rig.clock - pulledAt, 100'000u) << "noticed within a tick";
        EXPECT_NE(c.Err().find("went away (the adapter was unplugged or the board lost power); "), std::string::npos);
        EXPECT_NE(c.Err().find(k.said), std::string::npos) << c.Err();
        EXPECT_EQ(c.Err().find("restarted"), std::string::npos) << "no restart can reach the board";
    }
}

TEST(CliSession, ANoisyLineCostsARetryNotTheWriteAndNoBlockIsProgrammedTwice) {
    struct Case {
        const char* what;
        std::function<void(sim::BoardOptions&)> fault;
        unsigned retries;
        int status;
        const char* said;
    };
    const Case cases[] = {
        {"the board's sum failed twice", [](sim::BoardOptions& o) { o.sumErrorBlock = 3, o.sumErrorTimes = 2; }, 3,
         cli::kDone, "block 4 at 0x000180: the board's sum of it failed (D0 11), sent again (retry 2 of 3;"},
        {"programmed, its answer garbled", [](sim::BoardOptions& o) { o.garbledBlock = 5; }, 3, cli::kDone,
         "block 6 at 0x000280: its answer came garbled, read back (retry 1 of 3;"},
        {"not programmed, its answer garbled",
         [](sim::BoardOptions& o) { o.garbledBlock = 7, o.garbledBlockProgrammed = false; }, 3, cli::kDone,
         "1 block needed a retry (1 in all)"},
        {"programmed wrong, its answer garbled", [](sim::BoardOptions& o) { o.garbledBlock = 2, o.flipBitAfterBlock = 2; },
         3, cli::kVerifyFailed, "flash address 0x00017F holds 0xDB where 0xDA was programmed"},
        {"no retries: as the window", [](sim::BoardOptions& o) { o.sumErrorBlock = 3; }, 0, cli::kTransferFailed,
         "block 4 of 20 (flash address 0x000180) was refused"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        sim::BoardOptions board;
        k.fault(board);
        CliRig c(board);
        const Bytes image = Pattern(20 * 128, 1);
        c.options.file = c.rig.dir.Write("app.mot", SRecordFile(image, 1)).string();
        c.options.retries = k.retries;
        EXPECT_EQ(cli::Write(c.session), k.status) << c.Err();
        EXPECT_NE(c.Err().find(k.said), std::string::npos) << c.Err();
        EXPECT_TRUE(c.rig.board.ProgrammedTwice().empty());
        if (k.status == cli::kDone) {
            EXPECT_TRUE(std::equal(image.begin(), image.end(), c.rig.board.Flash().begin())) << "byte for byte";
        }
    }
}

TEST(CliSession, RamWriteRefusesWhatIsNoSRecordFileBeforeTheBoardIsTouched) {
    struct Case {
        const char* what;
        std::string file;
        const char* said;
    };
    const Case cases[] = {
        {"binary", std::string("\x7F" "ELF\x02\x01\x00", 7), "app.mot:1: the byte 0x7F where a record's S belongs"},
        {"Intel HEX", ":0400000001020304F2\n:00000001FF\n", "app.mot:1: ':' where a record's S belongs"},
        {"empty", "", "app.mot:1: the file holds no record"},
        {"a wrong checksum", "S1050000010200\nS70500000000FA\n", "app.mot:1: wrong checksum"},
        {"no S7", "S10500000102F7\nS9030000FC\n", "ends with S9, and the board's program takes a load at its S7"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        CliRig c;
        c.options.file = c.rig.dir.Write("app.mot", k.file).string();
        EXPECT_EQ(cli::RamWrite(c.session), cli::kFileFailed);
        EXPECT_NE(c.Err().find(k.said), std::string::npos) << c.Err();
        EXPECT_TRUE(c.rig.link.opened.empty()) << "the board untouched";
    }
}

TEST(CliSession, AFileRewrittenAfterItsCheckNeverReachesTheFlash) {
    CliRig c;
    const Bytes original = Pattern(300, 1);
    c.options.file = c.rig.dir.Write("app.mot", SRecordFile(original, 1)).string();
    // A build still running rewrites the file while the flash is erased.
    c.When([&] { return c.BoardSaid("erasing"); },
           [&] { c.rig.dir.Write("app.mot", SRecordFile(Pattern(300, 2), 1) + "garbage"); });
    EXPECT_EQ(cli::Write(c.session), cli::kDone) << c.Err();
    const Bytes& flash = c.rig.board.Flash();
    EXPECT_TRUE(std::equal(original.begin(), original.end(), flash.begin()));
}

TEST(CliSession, WithoutAVerifyTheWireCarriesTheWindowsBytes) {
    const std::string text = SRecordFile(Pattern(1000), 1);
    Rig window;
    window.toolkit.dialogAnswers.push(window.dir.Write("app.mot", text).string());
    window.form1.Button1Click();

    CliRig c;
    c.options.file = c.rig.dir.Write("app.mot", text).string();
    c.options.verify = Verify::None;
    EXPECT_EQ(cli::Write(c.session), cli::kDone) << c.Err();
    // The window's bytes, and the user MAT and programming unit inquiries before the new bit rate.
    Bytes sent = window.link.sent;
    std::vector<std::uint32_t> rates = window.link.sentRates;
    const auto newBitRate = std::find(sent.begin(), sent.end(), std::uint8_t{0x3F}) - sent.begin();
    sent.insert(sent.begin() + newBitRate, {0x25, 0x27});
    rates.insert(rates.begin() + newBitRate, 2, rates[static_cast<std::size_t>(newBitRate)]);
    EXPECT_EQ(c.rig.link.sent, sent);
    EXPECT_EQ(c.rig.link.sentRates, rates);
}

TEST(CliSession, CheckWritesTheSameBlocksForTheSameDataInEveryFormat) {
    // A gap, and data across a 64 KiB boundary.
    const Parts parts = {{0, Pattern(200, 1)}, {0xFFF0, Pattern(40, 2)}, {0x10100, Pattern(5, 3)}};
    Bytes flat(0x10105, 0xFF);
    for (const auto& [address, data] : parts) std::copy(data.begin(), data.end(), flat.begin() + address);
    CliRig c;
    const auto checked = [&c](const std::string& name, const std::string& content) {
        c.options.file = c.rig.dir.Write(name, content).string();
        c.options.out = (c.rig.dir.path() / (name + ".out")).string();
        EXPECT_EQ(cli::Check(c.session), cli::kDone) << c.Err();
        std::ifstream in(*c.options.out, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    };
    std::string mot;
    for (const auto& [address, data] : parts) mot += DataRecord(2, address, data);
    const Bytes fromSRecords = checked("app.mot", mot + Termination(2));
    EXPECT_EQ(fromSRecords.size(), 515u * 128);
    EXPECT_EQ(checked("app.hex", IntelHexFile(parts, "\r\n")), fromSRecords);
    EXPECT_EQ(checked("app.bin", std::string(flat.begin(), flat.end())), fromSRecords);
}

}  // namespace
}  // namespace h8sx::test

namespace h8sx::test {
namespace {

TEST(CliArguments, OptionsTakeTheirValuesInEitherFormAndEveryMistakeIsNamed) {
    using A = cli::Invocation::Action;
    struct Case {
        std::vector<std::string> args;
        A action;
        std::string said;  // Refused: the error; Run: the ports and the file, "|"-joined
    };
    const Case cases[] = {
        {{"write", "--port=/dev/ttyUSB0", "f"}, A::Run, "/dev/ttyUSB0|f"},
        {{"--port", "P", "--quiet", "write", "f"}, A::Run, "P|f"},
        {{"write", "--", "--odd-name"}, A::Run, "|--odd-name"},
        {{"write", "--verify=sum", "--verify", "sum", "f"}, A::Run, "|f"},
        {{"check", "--out", "-", "-"}, A::Run, "|-"},
        {{"monitor", "--timeout", "1.5", "--expect", "-x"}, A::Run, "|"},
        {{"write", "--port"}, A::Refused, "--port needs a value"},
        {{"write", "--port", "--quiet", "f"}, A::Refused, "--port needs a value"},
        {{"write", "--port=", "f"}, A::Refused, "--port needs a value"},
        {{"monitor", "--expect", "--timeout", "3"}, A::Refused, "--expect needs a value"},
        {{"write", "--no-verify", "--verify=read", "f"}, A::Refused, "--no-verify and --verify=read contradict each other"},
        {{"write", "--verify=sum", "--verify", "read", "f"}, A::Refused, "--verify=sum and --verify=read contradict"},
        {{"write", "--bit-rate", "abc", "f"}, A::Refused, "--bit-rate 'abc' is not a number"},
        {{"write", "--bit-rate=600000", "f"}, A::Refused, "--bit-rate 600000: the chip cannot make it"},
        {{"monitor", "--timeout", "soon"}, A::Refused, "--timeout 'soon' is not a number of seconds"},
        {{"monitor", "--timeout", "-1"}, A::Refused, "--timeout -1 is out of range"},
        {{"write", "--out", "x", "f"}, A::Refused, "write does not take --out (it goes with check)"},
        {{"write", "--skip-blank=yes", "f"}, A::Refused, "--skip-blank takes no value"},
        {{"write", "--bogus", "f"}, A::Refused, "write: unknown option '--bogus'"},
        {{"write"}, A::Refused, "write: no file given"},
        {{"write", "a", "b"}, A::Refused, "write: unexpected 'b'"},
        {{"flash", "a"}, A::Refused, "no command 'flash'"},
        {{"ram-write", "--timeout", "3", "f"}, A::Refused, "--timeout and --expect go with --monitor"},
        {{"write", "--help", "--bogus"}, A::Help, "write"},
        {{"--port", "P", "--version"}, A::Version, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{"h8sx"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        const cli::Invocation i = cli::ParseArguments(argv);
        ASSERT_EQ(i.action, c.action) << i.error;
        if (c.action == A::Help) {
            EXPECT_EQ(i.command, c.said);
        }
        if (c.action != A::Run) {
            EXPECT_NE(i.error.find(c.action == A::Refused ? c.said : ""), std::string::npos) << i.error;
            continue;
        }
        std::string got;
        for (const auto& p : i.options.ports) got += p;
        EXPECT_EQ(got + "|" + i.options.file, c.said);
    }
    // The hint names the command's own help.
    EXPECT_NE(cli::UsageText(cli::ParseArguments({"h8sx", "write"})).find("Try 'h8sx write --help'."),
              std::string::npos);
}

TEST(CliArguments, EveryCommandsHelpNamesItsOptionsAndTheStatusesItCanGive) {
    for (const std::string& command : cli::CommandNames()) {
        SCOPED_TRACE(command);
        const std::string help = cli::HelpText(command);
        for (const std::string& option : cli::OptionsOf(command))
            EXPECT_NE(help.find("  " + option), std::string::npos) << option;
        // Every command can meet a full disk under its output, and Ctrl-C.
        EXPECT_NE(help.find("\n  5 "), std::string::npos);
        EXPECT_NE(help.find("\n  130 "), std::string::npos);
    }
    EXPECT_NE(cli::HelpText("reset").find("\n  2 "), std::string::npos);
    EXPECT_EQ(cli::HelpText("check").find("\n  2 "), std::string::npos) << "check opens no port";
}

}  // namespace
}  // namespace h8sx::test

namespace h8sx::test {
namespace {

TEST(CliSerial, ANumberTakesItsFormAndItsPlaceAndTheCounterGivesEachOnce) {
    cli::SerialStamp stamp;
    for (const char* bad : {"0x100", "x:u32be", "0:u24be", "0:dec:0", "0:dec:21", "-1:u16be"})
        EXPECT_FALSE(cli::ParseSerialStamp(bad, stamp).empty()) << bad;
    struct Case {
        const char* stamp;
        std::uint64_t number;
        std::string bytes;  // empty: does not fit
    };
    const Case cases[] = {
        {"0:u16be", 0x1234, "\x12\x34"},   {"0:u16le", 0x1234, "\x34\x12"},
        {"0:u32be", 1, std::string("\0\0\0\x01", 4)}, {"0:u32le", 1, std::string("\x01\0\0\0", 4)},
        {"0:u16be", 65536, ""},            {"0:dec:4", 42, "0042"},
        {"0:dec:4", 10000, ""},            {"0:hex:4", 255, "00FF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.stamp) + " " + std::to_string(c.number));
        ASSERT_EQ(cli::ParseSerialStamp(c.stamp, stamp), "");
        const auto bytes = cli::SerialBytes(stamp, c.number);
        EXPECT_EQ(bytes ? std::string(bytes->begin(), bytes->end()) : "", c.bytes);
    }

    // Only where the image keeps 0xFF, inside the flash; beyond the image, the image grows.
    FlashImage image;
    image.Length = 0x20;
    image.Bytes[0x11] = 0x00;
    ASSERT_EQ(cli::ParseSerialStamp("0x10:u32be", stamp), "");
    EXPECT_NE(cli::StampPlaceProblem(stamp, image).find("0x000011 holds 0x00"), std::string::npos);
    ASSERT_EQ(cli::ParseSerialStamp("0xEFF7E:u32be", stamp), "");
    EXPECT_NE(cli::StampPlaceProblem(stamp, image).find("outside the flash"), std::string::npos);
    ASSERT_EQ(cli::ParseSerialStamp("0x1000:u16be", stamp), "");
    EXPECT_EQ(cli::StampPlaceProblem(stamp, image), "");
    cli::StampImage(image, stamp, {0x12, 0x34});
    EXPECT_EQ(image.Length, 0x1002u);

    // A number that does not fit stays in the file; no number is given twice.
    TempDir dir;
    const auto file = dir.Write("next", "9999\n");
    cli::SerialCounter counter(file.string());
    ASSERT_EQ(cli::ParseSerialStamp("0:dec:4", stamp), "");
    std::string why;
    EXPECT_EQ(counter.Take(stamp, why), std::optional<std::uint64_t>(9999)) << why;
    EXPECT_EQ(counter.Take(stamp, why), std::nullopt);
    EXPECT_NE(why.find("10000 does not fit dec:4"), std::string::npos) << why;
    EXPECT_EQ(counter.Peek(why), std::optional<std::uint64_t>(10000));
    dir.Write("next", "next one\n");
    EXPECT_EQ(counter.Take(stamp, why), std::nullopt);
    EXPECT_NE(why.find("holds no number"), std::string::npos) << why;
}

}  // namespace
}  // namespace h8sx::test
