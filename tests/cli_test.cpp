// h8sx as a user runs it: the program against h8sx-sim on a pseudo-terminal, its output
// read from files (not a terminal), its exit status and the board's flash compared.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "platform/posix/PosixSerial.h"
#include "tests/image_records.h"
#include "tests/support/Rig.h"
#include "tests/support/SimProcess.h"

namespace h8sx::test {
namespace {

using Strings = std::vector<std::string>;

std::string ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Bytes ReadBytesOf(const std::filesystem::path& p) {
    const std::string s = ReadAll(p);
    return Bytes(s.begin(), s.end());
}

// One run of h8sx: standard input from a file (its end comes at once), standard output
// and error into files.
class Cli {
   public:
    Cli(const TempDir& dir, const Strings& args, const std::string& input = "")
        : in_(dir.Write("stdin", input)), out_(dir.path() / "stdout"), err_(dir.path() / "stderr") {
        std::vector<std::string> argv{H8SX_CLI_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            const int in = ::open(in_.c_str(), O_RDONLY);
            const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            std::vector<char*> c;
            for (auto& a : argv) c.push_back(a.data());
            c.push_back(nullptr);
            ::execv(c[0], c.data());
            ::_exit(127);
        }
    }
    ~Cli() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
    }

    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void Signal(int sig) { ::kill(pid_, sig); }
    // Waits (up to 20 s) until standard error holds `text`.
    bool AwaitErr(const std::string& text) {
        for (int i = 0; i < 2000; ++i) {
            if (Err().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    std::string Out() const { return ReadAll(out_); }
    std::string Err() const { return ReadAll(err_); }

   private:
    std::filesystem::path in_, out_, err_;
    pid_t pid_ = -1;
};

struct Result {
    int status;
    std::string out, err;
};

Result RunCli(const TempDir& dir, const Strings& args, const std::string& input = "") {
    Cli cli(dir, args, input);
    const int status = cli.Wait();
    return {status, cli.Out(), cli.Err()};
}

// A board on its pseudo-terminal with its flash written to a file of the directory.
struct Board {
    explicit Board(const TempDir& dir, Strings args = {})
        : flash(dir.path() / "flash.bin"), log(dir.path() / "sim.log"), sim(With(std::move(args), dir)) {}
    Strings With(Strings args, const TempDir& dir) const {
        args.insert(args.end(), {"--erase-ms", "100", "--flash-out", flash.string(), "--log", log.string()});
        (void)dir;
        return args;
    }
    Strings Port() const { return {"--port", sim.TerminalPath()}; }

    std::filesystem::path flash, log;
    SimProcess sim;
};

Strings Cat(Strings a, const Strings& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The flash a write of `image` (check --out) leaves: the image, then the erased rest.
void ExpectFlashHolds(const Bytes& flash, const Bytes& image) {
    ASSERT_EQ(flash.size(), 1u << 20);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + static_cast<std::ptrdiff_t>(image.size()), flash.end(),
                            [](std::uint8_t b) { return b == 0xFF; }));
}

TEST(Cli, WriteProgramsTheFlashThatCheckForetells) {
    TempDir dir;
    Board board(dir);
    ASSERT_TRUE(board.sim.Started());
    const auto file = dir.Write("app.mot", SRecordFile(Pattern(40 * 128 + 5), 2, 0, 32, "\r\n")).string();

    const Result check = RunCli(dir, {"check", file, "--out", (dir.path() / "image.bin").string()});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.out.find("S2ファイル解析完了"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("41 of 128 bytes"), std::string::npos) << check.out;

    const Result write = RunCli(dir, Cat({"write", file}, board.Port()));
    EXPECT_EQ(write.status, 0) << write.err;
    // Status lines in the window's texts, progress by tenths, never a carriage return.
    EXPECT_NE(write.err.find(" 内部ＲＯＭ消去中\n"), std::string::npos) << write.err;
    EXPECT_NE(write.err.find(" 51 %  21/41 blocks"), std::string::npos) << write.err;
    EXPECT_NE(write.err.find(" 書き込み正常終了\n"), std::string::npos) << write.err;
    EXPECT_EQ(write.err.find('\r'), std::string::npos);
    EXPECT_TRUE(write.out.empty());

    const Bytes image = ReadBytesOf(dir.path() / "image.bin");
    EXPECT_EQ(image.size(), 41u * 128);
    ExpectFlashHolds(ReadBytesOf(board.flash), image);
}

TEST(Cli, SkipBlankLeavesTheGapAsErased) {
    TempDir dir;
    Board board(dir);
    // Code at the bottom, a table 32 KiB above it.
    std::string text = Header();
    for (std::uint32_t at : {0x0000, 0x0080, 0x8000, 0x8080}) text += DataRecord(1, at, Pattern(128, at + 1));
    text += Termination(1);
    const auto file = dir.Write("gap.mot", text).string();
    ASSERT_EQ(RunCli(dir, {"check", file, "--out", (dir.path() / "image.bin").string()}).status, 0);

    const Result write = RunCli(dir, Cat({"write", "--skip-blank", file}, board.Port()));
    EXPECT_EQ(write.status, 0) << write.err;
    EXPECT_NE(write.err.find("4 blocks programmed, 254 blank blocks left as erased"), std::string::npos)
        << write.err;
    ExpectFlashHolds(ReadBytesOf(board.flash), ReadBytesOf(dir.path() / "image.bin"));
}

TEST(Cli, ExitStatusNamesWhatFailed) {
    const std::string good = SRecordFile(Pattern(300), 1);
    std::string badSum = good;
    char& digit = badSum[badSum.find("\nS1") + 9];  // a data digit of line 2
    digit = digit == '0' ? '1' : '0';
    struct Case {
        const char* what;
        Strings sim;
        std::string file;
        Strings extra;
        int status;
    };
    const Case cases[] = {
        {"no such port", {}, good, {"--port", "/nonexistent/tty"}, 2},
        {"silent board", {"--silent-at", "matching"}, good, {}, 3},
        {"wrong device", {"--wrong-device-code"}, good, {}, 4},
        {"MAT selection refused", {"--silent-at", "user-mat"}, good, {}, 4},
        {"damaged file", {}, good.substr(0, good.size() - 12), {}, 5},
        {"wrong checksum", {}, badSum, {}, 5},
        {"wrong checksum, ignored", {}, badSum, {"--ignore-checksums"}, 0},
        {"refused block", {"--refuse-block", "1"}, good, {}, 6},
        {"unanswered end", {"--silent-at", "end-of-programming"}, good, {}, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Board board(dir, c.sim);
        const auto file = dir.Write("app.mot", c.file).string();
        Strings args = Cat({"write", "--quiet", file}, c.extra);
        if (c.extra.empty() || c.extra[0] != "--port") args = Cat(args, board.Port());
        const Result r = RunCli(dir, args);
        EXPECT_EQ(r.status, c.status) << r.err;
        // Quiet: errors only, never the window's status of every step.
        EXPECT_EQ(r.err.find("ビットレート合わせ"), std::string::npos) << r.err;
        if (c.status == 5 && c.extra.empty()) {
            // Ended first, so that its log is whole: its start and its end, nothing between.
            EXPECT_EQ(board.sim.Stop(), 0);
            EXPECT_EQ(ReadSimLog(board.log.string()).size(), 2u) << "board untouched";
        }
    }
    TempDir dir;
    EXPECT_EQ(RunCli(dir, {"write"}).status, 1);
    EXPECT_EQ(RunCli(dir, {"monitor", "--bogus"}).status, 1);
    const Result badSumCheck = RunCli(dir, {"check", dir.Write("bad.mot", badSum).string()});
    EXPECT_EQ(badSumCheck.status, 5);
    EXPECT_NE(badSumCheck.err.find("bad.mot:2: wrong checksum"), std::string::npos) << badSumCheck.err;
}

TEST(Cli, MonitorResetAndRamWriteTalkToTheBoardsOwnProgram) {
    TempDir dir;
    Board board(dir);
    // The input ends at once; the monitor goes on until the text appears.
    const Result seen =
        RunCli(dir, Cat({"monitor", "--expect", "仮想ボード起動", "--timeout", "5"}, board.Port()), "x\n");
    EXPECT_EQ(seen.status, 0) << seen.err;
    EXPECT_NE(seen.out.find("H8SX1622 virtual board 仮想ボード起動\n"), std::string::npos) << seen.out;

    EXPECT_EQ(RunCli(dir, Cat({"reset"}, board.Port())).status, 0);

    const std::string text =
        Header() + DataRecord(1, 0x100, {1, 2, 3}) + DataRecord(1, 0x103, {4}) + "S70500000000FA\n";
    const auto file = dir.Write("ram.mot", text).string();
    const Result ram = RunCli(
        dir, Cat({"ram-write", file, "--monitor", "--expect", "ロード完了", "--timeout", "5"}, board.Port()));
    EXPECT_EQ(ram.status, 0) << ram.err;
    EXPECT_NE(ram.out.find("RAM: 2 records, 4 bytes ロード完了"), std::string::npos) << ram.out;

    const Result unseen =
        RunCli(dir, Cat({"monitor", "--no-reset", "--expect", "never", "--timeout", "0.3"}, board.Port()));
    EXPECT_EQ(unseen.status, 7);

    // The port table: COM1 as the variable names it, the other numbers with no port (a /dev
    // and /sys of the test's own, so that this machine's ports do not count).
    ::setenv("H8SX_COM1", board.sim.TerminalPath().c_str(), 1);
    ::setenv("H8SX_DEV_ROOT", dir.path().c_str(), 1);
    ::setenv("H8SX_SYS_ROOT", dir.path().c_str(), 1);
    const Result ports = RunCli(dir, {"ports"});
    for (const char* name : {"H8SX_COM1", "H8SX_DEV_ROOT", "H8SX_SYS_ROOT"}) ::unsetenv(name);
    EXPECT_EQ(ports.status, 0);
    std::istringstream table(ports.out);
    std::vector<std::string> rows;
    for (std::string row; std::getline(table, row);) rows.push_back(row.substr(0, row.find_last_not_of(' ') + 1));
    ASSERT_EQ(rows.size(), 7u) << ports.out;
    EXPECT_EQ(rows[1].substr(0, 4), "COM1");
    EXPECT_NE(rows[1].find(board.sim.TerminalPath() + " yes"), std::string::npos) << rows[1];
    EXPECT_NE(rows[6].find("COM6"), std::string::npos);
    EXPECT_NE(rows[6].find("no port"), std::string::npos) << rows[6];

    // On the line: the records without the header, each ending CR LF, then "S7" CR.
    board.sim.Stop();
    std::string sent;
    for (const SimLogLine& l : ReadSimLog(board.log.string()))
        if (l.what == "host>board") sent += static_cast<char>(std::stoul(l.text.substr(0, 2), nullptr, 16));
    const std::string records =
        DataRecord(1, 0x100, {1, 2, 3}, "\r\n") + DataRecord(1, 0x103, {4}, "\r\n") + "S7\r";
    EXPECT_NE(sent.find(records), std::string::npos) << sent;
}

TEST(Cli, CtrlCInTheMiddleOfAWriteRestartsTheBoardAndFreesThePort) {
    TempDir dir;
    Board board(dir, {"--pace"});
    const auto file = dir.Write("app.mot", SRecordFile(Pattern(100 * 128), 2)).string();
    Cli cli(dir, Cat({"write", file}, board.Port()));
    ASSERT_TRUE(cli.AwaitErr(" 10 %"));
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(), 130);
    EXPECT_NE(cli.Err().find("interrupted"), std::string::npos) << cli.Err();
    EXPECT_EQ(cli.Err().find("TIME OUT"), std::string::npos) << "no failure shown for the stop";

    posix::PosixSerialDevice device;
    const ComHandleValue h = device.CreateFile(board.sim.TerminalPath());
    EXPECT_NE(h, kInvalidHandle);
    device.CloseHandle(h);
    // The board runs its own program again.
    const Result seen =
        RunCli(dir, Cat({"monitor", "--expect", "起動", "--timeout", "5"}, board.Port()), "\n");
    EXPECT_EQ(seen.status, 0) << seen.err;
}

}  // namespace
}  // namespace h8sx::test
