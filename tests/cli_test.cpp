// h8sx as a user runs it: the program against h8sx-sim on a pseudo-terminal, its output
// read from files (not a terminal), its exit status and the board's flash compared.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <set>
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

// h8sx as the test's own program: a copy in the test's directory, so that the settings
// and ports files beside it are the test's, and /dev and /sys of its own (empty unless the
// test fills them), so that this machine's adapters do not count.
std::string OwnCli(const TempDir& dir) {
    const auto own = dir.path() / "h8sx";
    std::error_code ec;
    if (!std::filesystem::exists(own)) {
        std::filesystem::create_hard_link(H8SX_CLI_PATH, own, ec);
        if (ec) std::filesystem::copy_file(H8SX_CLI_PATH, own);
    }
    return own.string();
}

// One run of h8sx: standard input from a file (its end comes at once), standard output
// and error into files.
class Cli {
   public:
    Cli(const TempDir& dir, const Strings& args, const std::string& input = "")
        : in_(dir.Write("stdin", input)), out_(dir.path() / "stdout"), err_(dir.path() / "stderr") {
        std::vector<std::string> argv{OwnCli(dir)};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            const int in = ::open(in_.c_str(), O_RDONLY);
            const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::setenv("H8SX_DEV_ROOT", dir.path().c_str(), 0);
            ::setenv("H8SX_SYS_ROOT", dir.path().c_str(), 0);
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

TEST(Cli, WriteProgramsTheFlashThatCheckForetellsAndVerifiesIt) {
    TempDir dir;
    Board board(dir);
    ASSERT_TRUE(board.sim.Started());
    const auto file = dir.Write("app.mot", SRecordFile(Pattern(40 * 128 + 5), 2, 0, 32, "\r\n")).string();

    const Result check =
        RunCli(dir, {"check", file, "--bit-rate", "312500", "--out", (dir.path() / "image.bin").string()});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.out.find("S2ファイル解析完了"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("41 of 128 bytes"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("0.2 s of programming at 312500 bit/s"), std::string::npos) << check.out;

    const Result write = RunCli(dir, Cat({"write", file, "--bit-rate", "312500"}, board.Port()));
    EXPECT_EQ(write.status, 0) << write.err;
    // Status lines in the window's texts, progress by tenths, never a carriage return; the
    // success said once the sum check has passed.
    EXPECT_NE(write.err.find(" 内部ＲＯＭ消去中\n"), std::string::npos) << write.err;
    EXPECT_NE(write.err.find(" 51 %  21/41 blocks"), std::string::npos) << write.err;
    EXPECT_NE(write.err.find("as the programmed blocks account for\n"), std::string::npos) << write.err;
    EXPECT_NE(write.err.find(" 書き込み正常終了\n"), std::string::npos) << write.err;
    EXPECT_EQ(write.err.find('\r'), std::string::npos);
    EXPECT_TRUE(write.out.empty());

    const Bytes image = ReadBytesOf(dir.path() / "image.bin");
    EXPECT_EQ(image.size(), 41u * 128);
    ExpectFlashHolds(ReadBytesOf(board.flash), image);
    // The smoke test of a CI job: the board greets from its own program, nothing typed.
    const Result greeted = RunCli(dir, Cat({"monitor", "--expect", "起動", "--timeout", "3"}, board.Port()));
    EXPECT_EQ(greeted.status, 0) << greeted.err;
    // The blocks went at the rate asked for.
    board.sim.Stop();
    std::size_t fast = 0;
    for (const SimLogLine& l : ReadSimLog(board.log.string()))
        fast += l.what == "host>board" && l.text.find(" 312500") != std::string::npos;
    EXPECT_GT(fast, 41u * 134);
}

TEST(Cli, SkipBlankLeavesTheGapAsErased) {
    TempDir dir;
    Board board(dir);
    // Code at the bottom, a table 32 KiB above it, and a block whose only data are its
    // last two bytes (a blank test that looks at part of a block would leave them out).
    std::string text = Header();
    for (std::uint32_t at : {0x0000, 0x0080, 0x8000, 0x8080}) text += DataRecord(1, at, Pattern(128, at + 1));
    text += DataRecord(1, 0x90FE, {0x12, 0x34});
    text += Termination(1);
    const auto file = dir.Write("gap.mot", text).string();
    ASSERT_EQ(RunCli(dir, {"check", file, "--out", (dir.path() / "image.bin").string()}).status, 0);

    const Result write = RunCli(dir, Cat({"write", "--skip-blank", file}, board.Port()));
    EXPECT_EQ(write.status, 0) << write.err;
    EXPECT_NE(write.err.find("5 blocks programmed, 285 blank blocks left as erased"), std::string::npos)
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
        std::string said = {};
    };
    const TempDir shared;
    const std::string notBlank = shared.Write("flash.bin", "leftover").string();
    const Case cases[] = {
        {"no such port", {}, good, {"--port", "/nonexistent/tty"}, 2, "No such file or directory"},
        {"silent board", {"--silent-at", "matching"}, good, {}, 3, "(the boot mode pins or jumper)"},
        {"wrong device", {"--wrong-device-code"}, good, {}, 4, "not the H8SX1622's"},
        {"short device answer", {"--short-device-answer"}, good, {}, 4,
         "a short answer to the supported device inquiry (20): 16 bytes where its size says 17"},
        {"clock mode refused", {"--silent-at", "clock-mode-selection"}, good, {}, 4,
         "the board refused the clock mode selection (11): 91 22 (clock mode error)"},
        {"erase refused", {"--silent-at", "erase-failure"}, good, {}, 4,
         "the board refused the erase, the move to the programming/erasure state (40): C0 51 (erase error)"},
        {"MAT selection refused", {"--silent-at", "user-mat"}, good, {}, 4},
        {"rate the chip cannot make", {}, good, {"--bit-rate", "115200"}, 1, "it makes 9600, 19200"},
        {"rate refused", {"--silent-at", "new-bit-rate"}, good, {"--bit-rate", "57600"}, 4, "(3F): BF 24 (bit rate selection error)"},
        {"not erased", {"--no-erase", "--flash-in", notBlank}, good, {}, 4, "(CD 52)"},
        {"damaged file", {}, good.substr(0, good.size() - 12), {}, 5},
        {"wrong checksum", {}, badSum, {}, 5},
        {"wrong checksum, ignored", {}, badSum, {"--ignore-checksums"}, 0},
        {"refused block", {"--refuse-block", "1"}, good, {}, 6, "block 2 of 3 (flash address 0x000080) was refused"},
        {"unanswered end", {"--silent-at", "end-of-programming"}, good, {}, 6},
        {"flipped bit", {"--flip-bit-after-block", "1"}, good, {}, 8, "the flash sums to"},
        {"flipped bit, read", {"--flip-bit-after-block", "1"}, good, {"--verify=read"}, 8, "address 0x0000FF holds"},
        {"no verify commands", {"--no-verify-commands"}, good, {}, 8, "it answers 80 4D; --no-verify"},
        {"no verify commands, none asked", {"--no-verify-commands"}, good, {"--no-verify"}, 0},
        {"memory read refused", {"--refuse-read", "2A"}, good, {"--verify=read"}, 8,
         "the board answered the memory read (52) with an error (D2 2A: address error)"},
        {"log on a full disk", {}, good, {"--log", "/dev/full"}, 5,
         "the production log: cannot write /dev/full: No space left on device"},
        {"inquiry answer that does not add up", {"--bad-sum-answer", "25"}, good, {}, 4,
         "the answer to the user MAT information inquiry (25) does not add up (a wrong checksum): 35 09 01 00"},
        {"inquiry not taken", {"--not-taken", "27"}, good, {}, 4,
         "the board does not take the programming unit inquiry (27) now: 80 27 (command error)"},
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
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        // Quiet: errors only, never the window's status of every step.
        EXPECT_EQ(r.err.find("ビットレート合わせ"), std::string::npos) << r.err;
        if ((c.status == 5 && c.extra.empty()) || c.status == 1) {
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

TEST(Cli, InfoTellsWhatTheBoardSaysOfItselfAndErasesNothing) {
    TempDir dir;
    Board board(dir);
    const Result text = RunCli(dir, Cat({"info"}, board.Port()));
    EXPECT_EQ(text.status, 0) << text.err;
    for (const char* line :
         {"device:            00 00 00 09, H8SX1622\n", "multiplication:    clock type 1: x4 x2; clock type 2: x4 x2\n",
          "frequencies:       clock type 1: 20.00 to 50.00 MHz; clock type 2: 10.00 to 25.00 MHz\n",
          "user boot MAT:     0x00000000 to 0x00003FFF, 16 KiB\n", "user MAT:          0x00000000 to 0x000FFFFF, 1024 KiB\n",
          "erase blocks:      24 blocks: 8 of 4 KiB from 0x00000000, 1 of 32 KiB from 0x00008000, 15 of 64 KiB from "
          "0x00010000\n",
          "programming unit:  128 bytes\n", "status:            13, waiting for the bit rate selection; error 00, none\n"})
        EXPECT_NE(text.out.find(line), std::string::npos) << text.out;

    const Result json = RunCli(dir, Cat({"info", "--json"}, board.Port()));
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1) << json.out;
    for (const char* field : {"{\"port\":\"", "\"productName\":\"H8SX1622\"", "\"ratios\":[[4,2],[4,2]]",
                              "\"userMat\":[{\"start\":0,\"end\":1048575,\"size\":1048576}]", "\"programmingUnit\":128",
                              "\"status\":{\"code\":19,"})
        EXPECT_NE(json.out.find(field), std::string::npos) << field << " in " << json.out;

    // Neither a new bit rate nor the move to the programming/erasure state was sent.
    board.sim.Stop();
    for (const SimLogLine& l : ReadSimLog(board.log.string()))
        EXPECT_FALSE(l.what == "host>board" && (l.text.rfind("3F ", 0) == 0 || l.text.rfind("40 ", 0) == 0)) << l.text;
}

// The bytes a trace or the board's log holds one way, each as "HH@RATE".
using Wire = std::vector<std::string>;

TEST(Cli, ATraceHoldsEveryByteOnTheLineAndTheWriteNeverSendsWhileTheChipIsBusy) {
    TempDir dir;
    Board board(dir, {"--chip-timing"});
    const auto file = dir.Write("app.mot", SRecordFile(Pattern(30 * 128), 1)).string();
    const auto trace = dir.path() / "trace.txt";
    const Result write = RunCli(dir, Cat({"write", "--bit-rate", "125000", "--trace", trace.string(), file}, board.Port()));
    EXPECT_EQ(write.status, 0) << write.err;
    board.sim.Stop();

    Wire sent, heard;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("#", 0) == 0) continue;  // a note
        std::istringstream fields(line.substr(0, line.find('#')));
        std::string seconds, way, rate, hex;
        fields >> seconds >> way >> rate;
        ASSERT_TRUE(way == "tx" || way == "rx") << line;
        while (fields >> hex) (way == "tx" ? sent : heard).push_back(hex + "@" + rate);
    }
    Wire toBoard, fromBoard;
    std::size_t fromBoardBeforeLastCommand = 0;
    for (const SimLogLine& l : ReadSimLog(board.log.string())) {
        EXPECT_EQ(l.text.find("bytes lost"), std::string::npos) << "sent while the chip was busy: " << l.text;
        std::istringstream fields(l.text);
        std::string hex, rate;
        fields >> hex >> rate;
        if (l.what == "host>board") toBoard.push_back(hex + "@" + rate), fromBoardBeforeLastCommand = fromBoard.size();
        if (l.what == "board>host") fromBoard.push_back(hex + "@" + rate);
    }
    EXPECT_EQ(sent, toBoard);
    // Everything the board said while the writer listened; what it says after its restart
    // (its greeting) may come after the port was closed.
    ASSERT_GE(heard.size(), fromBoardBeforeLastCommand);
    ASSERT_LE(heard.size(), fromBoard.size());
    EXPECT_TRUE(std::equal(heard.begin(), heard.end(), fromBoard.begin()));
    EXPECT_NE(ReadAll(trace).find("tx 125000 50 00 00 00 80 "), std::string::npos) << "a block a line";
    EXPECT_NE(ReadAll(trace).find("  # block 2 at 0x000080: acknowledged\n"), std::string::npos);
}

TEST(Cli, CheckReadsStandardInputAndSaysWhatIsWrongByItsLine) {
    TempDir dir;
    const Bytes data = Pattern(100);
    const Result piped = RunCli(dir, {"check", "-"}, SRecordFile(data, 1, 0, 32, "\r\n"));
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_NE(piped.out.find("S1ファイル解析完了"), std::string::npos) << piped.out;

    std::string damaged = SRecordFile(data);
    damaged.insert(damaged.find("\nS9"), " ;");  // behind the checksum of line 5
    const Result refused = RunCli(dir, {"check", "-"}, damaged);
    EXPECT_EQ(refused.status, 5);
    EXPECT_NE(refused.err.find("h8sx: standard input:5: text after the checksum: ';' (行末ERR 5行)\n"),
              std::string::npos)
        << refused.err;

    // A file linked elsewhere: refused with its address, loaded as the window loads it with --lenient.
    const auto high = dir.Write("high.mot", SRecordFile(data, 1, 0x1000)).string();
    const Result shifted = RunCli(dir, {"check", high});
    EXPECT_EQ(shifted.status, 5);
    EXPECT_NE(shifted.err.find("high.mot:2: the first record lies at address 0x1000"), std::string::npos)
        << shifted.err;
    EXPECT_NE(shifted.err.find("--lenient"), std::string::npos) << shifted.err;
    EXPECT_EQ(RunCli(dir, {"check", "--lenient", high}).status, 0);

    // Intel HEX through the same pipe, known by its first record; an ELF file never read.
    const Result hex = RunCli(dir, {"check", "-"}, "\n" + IntelHexFile({{0, data}}));
    EXPECT_NE(hex.out.find("Intel HEX, 7 data records"), std::string::npos) << hex.err;
    const std::string elf =
        RunCli(dir, {"check", "--format", "binary", dir.Write("a.o", "\x7F\x45LF").string()}).err;
    EXPECT_NE(
        elf.find("'objcopy -O srec " + (dir.path() / "a.o").string() + " " + (dir.path() / "a.mot").string()),
        std::string::npos)
        << elf;

    const Result directory = RunCli(dir, {"check", dir.path().string()});
    EXPECT_EQ(directory.status, 5);
    EXPECT_NE(directory.err.find("it is a directory"), std::string::npos) << directory.err;
}

TEST(Cli, MonitorResetAndRamWriteTalkToTheBoardsOwnProgram) {
    TempDir dir;
    Board board(dir);
    // The input ends at once; the monitor goes on until the text appears. What is typed
    // goes in the board's character set, so that its echo reads as it was typed.
    const Result seen =
        RunCli(dir, Cat({"monitor", "--expect", "x日本", "--timeout", "5"}, board.Port()), "x日本\n");
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

    // The board echoes a line longer than a tick carries at 38400 bit/s: it is seen whole,
    // over several reads.
    const std::string line = std::string(600, 'a') + "z";
    const Result echoed = RunCli(
        dir, Cat({"monitor", "--no-reset", "--expect", line, "--timeout", "5"}, board.Port()), line + "\n");
    EXPECT_EQ(echoed.status, 0) << echoed.err;

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

TEST(Cli, OutputsThatCannotBeWrittenEndTheCommand) {
    TempDir dir;
    Board board(dir);
    // The monitor's reader goes away: it ends at once, quietly, and frees the port.
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        const int in = ::open(dir.Write("keys", "x").c_str(), O_RDONLY);
        ::dup2(in, 0);
        ::execl(H8SX_CLI_PATH, H8SX_CLI_PATH, "monitor", "--port", board.sim.TerminalPath().c_str(), nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    char got[20];
    ASSERT_EQ(::read(out[0], got, sizeof got), static_cast<ssize_t>(sizeof got));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    posix::PosixSerialDevice device;
    const ComHandleValue h = device.CreateFile(board.sim.TerminalPath());
    EXPECT_NE(h, kInvalidHandle);
    device.CloseHandle(h);

    // A full disk under the image and under the table: the file status and the reason.
    const std::string file = dir.Write("app.mot", SRecordFile(Pattern(300), 1)).string();
    const Result full = RunCli(dir, {"check", file, "--out", "/dev/full"});
    EXPECT_EQ(full.status, 5);
    EXPECT_NE(full.err.find("cannot write /dev/full: No space left on device"), std::string::npos) << full.err;
    // The help and the version too.
    for (const char* asked : {"--help", "--version"}) {
        const pid_t p = ::fork();
        if (p == 0) {
            ::dup2(::open("/dev/full", O_WRONLY), 1);
            ::dup2(::open("/dev/null", O_WRONLY), 2);
            ::execl(H8SX_CLI_PATH, H8SX_CLI_PATH, asked, nullptr);
            ::_exit(127);
        }
        ::waitpid(p, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5) << asked;
    }
}

TEST(Cli, APortThatCannotBeOpenedNamesTheReasonAndTheRemedy) {
    // Devices this user may not open (root may open anything: the child gives that up):
    // one its group may open, and the group is one to join; one only its owner may open.
    const group* dialout = ::getgrnam("dialout");
    struct Case {
        mode_t mode;
        gid_t group;
        const char* remedy;
    };
    const Case cases[] = {
        {0600, 0, ": Permission denied\n  only its owner, "},
        {0660, dialout ? dialout->gr_gid : 0, ": Permission denied\n  add yourself to the group dialout: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.remedy);
        if (c.group != 0 && (::geteuid() != 0 || !dialout)) continue;  // needs root, to give the device away
        TempDir dir;
        const auto device = dir.Write("tty", "");
        ::chmod(dir.path().c_str(), 0755);
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(device.c_str(), 0, c.group), 0);
        }
        ::chmod(device.c_str(), c.mode);
        int err[2];
        ASSERT_EQ(::pipe(err), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(err[1], 2);
            ::close(err[0]);
            if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(126);
            if (::geteuid() != 0) ::chmod(device.c_str(), 0);
            ::execl(H8SX_CLI_PATH, H8SX_CLI_PATH, "reset", "--port", device.c_str(), nullptr);
            ::_exit(127);
        }
        ::close(err[1]);
        std::string text;
        char buf[256];
        for (ssize_t n; (n = ::read(err[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
        ::close(err[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 2);
        EXPECT_NE(text.find(c.remedy), std::string::npos) << text;
    }
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

namespace h8sx::test {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The rows of a production log, as fields; the header first.
std::vector<std::vector<std::string>> CsvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : Lines(text)) {
        std::vector<std::string> fields(1);
        bool quoted = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') fields.back() += line[++i];
            else if (c == '"') quoted = !quoted;
            else if (c == ',' && !quoted) fields.emplace_back();
            else fields.back() += c;
        }
        rows.push_back(fields);
    }
    return rows;
}

std::uint32_t Be32At(const Bytes& b, std::size_t at) {
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

TEST(CliStation, BoardsAreWrittenAtOnceEachNumberedAndLoggedAndTheFailedOneNamed) {
    TempDir dir;
    const std::string flash = (dir.path() / "flash{n}.bin").string();
    SimProcess two({"--boards", "2", "--erase-ms", "100", "--flash-out", flash}, 2);
    SimProcess faulty({"--erase-ms", "100", "--flip-bit-after-block", "1"});
    ASSERT_TRUE(two.Started() && faulty.Started());
    const auto file = dir.Write("app.mot", SRecordFile(Pattern(1000), 1)).string();
    const auto next = dir.Write("next.txt", "1000\n");
    const auto log = dir.path() / "log.csv";
    const std::string ports = two.TerminalPaths()[0] + "," + two.TerminalPaths()[1];
    EXPECT_NE(RunCli(dir, {"write", "--port", two.TerminalPath() + "," + two.TerminalPath(), file})
                  .err.find("name the same device"),
              std::string::npos);
    // A port that cannot be opened among them: its row fails, the others go on.
    const Result r = RunCli(dir, {"write", "--port", ports, "--port", faulty.TerminalPath(), "--port",
                                  "/nonexistent/tty", "--log", log.string(), "--serial", "0x2000:u32be",
                                  "--serial-next", next.string(), file});
    EXPECT_EQ(r.status, 8) << r.err;
    EXPECT_NE(r.err.find("/nonexistent/tty: failed, status 2 (port)"), std::string::npos) << r.err;
    // Not a terminal: each board's lines after its port's name, then the summary.
    EXPECT_NE(r.err.find(faulty.TerminalPath() + ":    "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(two.TerminalPaths()[1] + ": done in "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(faulty.TerminalPath() + ": failed, status 8 (verify)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("4 boards: 2 done, 2 failed"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos);

    const auto rows = CsvRows(ReadAll(log));
    ASSERT_EQ(rows.size(), 5u) << ReadAll(log);
    EXPECT_EQ(rows[0].size(), 17u);
    EXPECT_EQ(rows[0][7], "serial");
    std::set<std::string> numbers;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const auto& row = rows[i];
        ASSERT_EQ(row.size(), 17u);
        if (row[2] == "/nonexistent/tty") {
            EXPECT_EQ(row[14] + row[15] + row[7], "port2") << "no number for a board that is not there";
            continue;
        }
        numbers.insert(row[7]);
        const bool bad = row[2] == faulty.TerminalPath();
        EXPECT_EQ(row[14], bad ? "verify" : "done");
        EXPECT_EQ(row[15], bad ? "8" : "0");
        EXPECT_EQ(row[6].size(), 64u) << "image_sha256";
        if (bad) {
            EXPECT_NE(row[16].find("verify failed"), std::string::npos) << row[16];
            continue;
        }
        // The board's flash holds the image and its own number, as the log says.
        const std::string n = two.TerminalPaths()[0] == row[2] ? "1" : "2";
        const Bytes board = ReadBytesOf(dir.path() / ("flash" + n + ".bin"));
        ASSERT_EQ(board.size(), 1u << 20);
        EXPECT_EQ(std::to_string(Be32At(board, 0x2000)), row[7]);
    }
    EXPECT_EQ(numbers, (std::set<std::string>{"1000", "1001", "1002"}));
    EXPECT_EQ(ReadAll(next), "1003\n");
}

TEST(CliStation, TwoStationsShareTheCounterAndTheLogWithoutANumberTwice) {
    TempDir dir;
    SimProcess boards({"--boards", "4", "--erase-ms", "50"}, 4);
    ASSERT_TRUE(boards.Started());
    const auto file = dir.Write("app.mot", SRecordFile(Pattern(600), 1)).string();
    const auto next = dir.Write("next.txt", "7\n");
    const auto log = dir.path() / "log.csv";
    const auto& p = boards.TerminalPaths();
    TempDir other;
    Cli a(dir, {"write", "--quiet", "--port", p[0] + "," + p[1], "--log", log.string(), "--serial", "0x1000:dec:4",
                "--serial-next", next.string(), file});
    Cli b(other, {"write", "--quiet", "--port", p[2] + "," + p[3], "--log", log.string(), "--serial", "0x1000:dec:4",
                  "--serial-next", next.string(), file});
    EXPECT_EQ(a.Wait(), 0) << a.Err();
    EXPECT_EQ(b.Wait(), 0) << b.Err();
    const auto rows = CsvRows(ReadAll(log));
    ASSERT_EQ(rows.size(), 5u) << "one header, a whole row for each board:\n" << ReadAll(log);
    std::set<std::string> numbers;
    for (std::size_t i = 1; i < rows.size(); ++i) numbers.insert(rows[i][7]);
    EXPECT_EQ(numbers, (std::set<std::string>{"7", "8", "9", "10"}));
    EXPECT_EQ(ReadAll(next), "11\n");
}

TEST(CliStation, RepeatAutoWritesEachNewBoardOnceAsItComes) {
    TempDir dir;
    // After each write the board stays a second, goes away for two, and a new one comes.
    SimProcess board({"--erase-ms", "50", "--swap", "2"});
    ASSERT_TRUE(board.Started());
    const auto file = dir.Write("app.mot", SRecordFile(Pattern(600), 1)).string();
    const auto log = dir.path() / "log.csv";
    // Standard input a pipe that stays open until the test writes "q".
    int in[2];
    ASSERT_EQ(::pipe(in), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::close(in[1]);
        const int err = ::open((dir.path() / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, 2);
        ::setenv("H8SX_DEV_ROOT", dir.path().c_str(), 1);
        ::execl(H8SX_CLI_PATH, H8SX_CLI_PATH, "write", "--repeat=auto", "--port", board.TerminalPath().c_str(), "--log",
                log.c_str(), file.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(in[0]);
    // Two boards written (the first, then the one that came after the swap), then q.
    for (int i = 0; i < 300 && CsvRows(ReadAll(log)).size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(::write(in[1], "q\n", 2), 2);
    ::close(in[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const std::string err = ReadAll(dir.path() / "stderr");
    EXPECT_EQ(WEXITSTATUS(status), 0) << err;
    const auto rows = CsvRows(ReadAll(log));
    ASSERT_GE(rows.size(), 3u) << err;
    EXPECT_EQ(rows.size(), 3u) << "the board just written is not written again:\n" << ReadAll(log);
    EXPECT_NE(err.find(": 2 done, 0 failed"), std::string::npos) << err;
}

}  // namespace
}  // namespace h8sx::test
