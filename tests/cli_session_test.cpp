// h8sx's commands run in process, on the in-process board and a virtual clock: what a
// pseudo-terminal cannot show (the modem lines of the board's restart after a stop) and
// what wants an exact moment (a file rewritten while the flash is erased).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "cli/Commands.h"
#include "cli/Output.h"
#include "cli/Session.h"
#include "tests/image_records.h"
#include "tests/support/Rig.h"

namespace h8sx::test {
namespace {

struct CliRig {
    explicit CliRig(sim::BoardOptions board = {}) : rig(std::move(board)) {
        options.port = "COM1";
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
        EXPECT_NE(c.Err().find("interrupted: " + std::string(k.said)), std::string::npos) << c.Err();
        EXPECT_EQ(c.Err().find("TIME OUT"), std::string::npos) << "no failure shown for the stop";
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
    EXPECT_EQ(c.rig.link.sent, window.link.sent);
    EXPECT_EQ(c.rig.link.sentRates, window.link.sentRates);
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
