// h8sx-sim: the virtual board on a pseudo-terminal, for trying the writer without
// hardware and for end-to-end tests. See Usage() for what it does.
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Version.h"
#include "sim/Board.h"
#include "sim/PtyHost.h"

namespace {

using h8sx::sim::Stage;

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

const char* const kUsage = R"(Usage: h8sx-sim [OPTION]...
The virtual board: an H8SX1622 on a pseudo-terminal. Prints the path of the
terminal end on the first line of its output (with --boards N, one path a line
on the first N lines), then serves until it is ended (SIGINT, SIGTERM) or its
time limit runs out.

Line and start mode
  A pseudo-terminal has no modem lines, so the board cannot see DTR and RTS,
  the writer's reset and its choice of start. Instead, a program opening the
  terminal end resets the board, and the first byte it sends afterwards
  chooses the start: 0x00 starts the chip's boot program (bit-rate matching,
  then the boot-mode commands), any other byte the board's own program. When
  nothing comes for 500 ms after the open (--start-quiet), the board's own
  program starts by itself and greets, as a real board does at a reset into
  its program: the writers send their first 0x00 within about 200 ms of
  opening the port, a terminal program may send nothing.
  After a write, the writer's restart of the board is seen in the first of:
  the same quiet after the end of programming (or after the commands that
  follow it): the board's own program starts and greets; a byte that no
  command of the programming/erasure state begins with (43, 50, 4F, 4D, 4B,
  52): 0x00 starts the boot program again and counts as its first matching
  byte, any other byte goes to the board's own program; a reopen.
  The bit rate the program has set on the terminal counts, custom rates
  included: bytes sent at a rate further from the one the other side listens
  at than the SCI's receive margin (4.9 %: the last bit of a 10-bit frame
  still sampled inside its cell) arrive garbled, in both directions (a byte
  to the host arrives xor 0xA5).

The boot program
  Matches bit rates on 0x00 bytes (answer 0x00, then 0xE6 to 0x55), answers the
  supported device inquiry (device code 00 00 00 09, "H8SX1622"), device and
  clock mode selection (mode 0), the multiplication ratio (x4, x2) and
  operating frequency inquiries, the user boot MAT information inquiry (24:
  one area, 0 to 0x3FFF), the user MAT information inquiry (25: one area, 0 to
  0xFFFFF), the erase block information inquiry (26, its size in two bytes: 24
  blocks, eight of 4 KiB from 0, one of 32 KiB at 0x8000, fifteen of 64 KiB
  from 0x10000), the programming unit inquiry (27: 37 02 00 80 SUM), the boot
  program status inquiry (4F, also in the programming/erasure state: 5F 02,
  the status, the code of the last error answer or 00, SUM; status 11 to 13
  while device, clock mode or bit rate are to be selected, 1F once they are,
  31 erasing, 3F awaiting a selection, 4F awaiting programming data), and the
  new bit rate selection (10 MHz input, ratios 4 and 2) for every rate its
  20 MHz peripheral clock makes within 4 % (N = round(20e6 / (32 B)) - 1 in
  0..255; e.g. 9600, 19200, 38400, 57600, 62500, 76800, 125000, 156200,
  208300, 312500 and 625000 bit/s, not 115200; else BF 24), then works at the
  rate selected. The transition to the programming/erasure state erases its
  1 MiB flash (the user MAT); there it takes the user MAT programming
  selection (43), then 128-byte programming commands (50) up to the end of
  programming (50 FF FF FF FF B4); a block programmed already since the erase
  is refused (D0 53) and logged. After the erase and after every end of
  programming it takes the selection again, the user MAT blank check (4D: 06,
  or CD 52), the sum check (4B: 5B 04, the byte sum of the whole MAT modulo
  2^32, SUM) and the memory read (52 09 area address size SUM, area 01 the
  user MAT, 00 the user boot MAT, which reads erased: 52 size data SUM; or
  D2 11, D2 2A for another area or an address outside the MAT, D2 2B for a
  size that runs past its end). A command it does not take in its present
  state is answered 80 and the command byte.

The board's own program
  At every start it sends the line "H8SX1622 virtual board 仮想ボード起動"
  (the Japanese in Shift-JIS) and CR LF, at 38400 bit/s.
  It echoes every byte it receives; Enter (CR, 0x0D) is answered with CR LF,
  and a line feed is taken silently.
  A RAM write (S-record text, lines ending in CR LF, closed by "S7" and CR) is
  answered after that closing CR with "RAM: <n> records, <m> bytes ロード完了"
  (Shift-JIS) and CR LF: the S1, S2 and S3 records and their data bytes.

Stations
  --boards N plays N boards, each on a pseudo-terminal of its own, all in one
  process. In the PATH of --link, --log and --flash-out, {n} stands for the
  board's number (1 to N); with more than one board, a PATH without {n} gets
  the number at its end (--link /tmp/com: /tmp/com1, /tmp/com2, ...).
  --swap S takes a board from the fixture once it has been written: after the
  end of programming and the writer's restart (see above), it answers on for
  --swap-after seconds (default 1), then nothing at all for S seconds, not
  even the bit-rate matching; then a new board is there, its flash erased,
  starting as after an open.

Options
  --link PATH          also make PATH a symbolic link to the terminal end (for
                       H8SX_COM1, or a wine dosdevices/com1); an existing link
                       there is replaced, and the link is removed at the end
  --log FILE           write every byte in both directions with its time, its
                       direction and the bit rate in force, and the board's
                       events, one per line, as they happen
  --timeout S          end by itself after S seconds
  --flash-out FILE     after every end of programming, write the whole flash
                       (1 MiB) to FILE
  --erase-ms N         the erase takes N milliseconds (default 1500)
  --chip-timing[=typ|max]
                       the flash takes the time the chip's characteristics
                       give, typical (the default) or maximum: 1 ms (10 ms)
                       to program 128 bytes, and to erase 40 ms (130 ms) per
                       4 KiB block, 300 ms (800 ms) per 32 KiB block and
                       600 ms (1500 ms) per 64 KiB block, 9.62 s (24.34 s)
                       for the whole flash, in place of --erase-ms. While the
                       chip programs or erases, the boot program does not read
                       the line: bytes sent meanwhile are lost (and logged)
  --pace               deliver bytes in both directions no faster than the
                       bit rate in force allows (10 bits a byte)
  --latency MS         hold the board's bytes as a USB adapter's latency timer
                       does: they reach the terminal MS milliseconds after the
                       first of them, or as soon as 62 fill a packet
  --noise BER          flip each data bit on the line, both ways, with this
                       probability (e.g. 1e-5); every flip is logged
  --seed N             where the noise's flips come from (default 1): the same
                       seed and the same bytes give the same flips; board n of
                       a station uses N + 2 (n - 1)
  --start-quiet MS     the quiet after an open or after the end of programming
                       that starts the board's own program (default 500; 0:
                       only a byte starts it)
  --boards N           play N boards (see Stations; default 1)
  --swap S             take a written board away for S seconds (see Stations)
  --swap-after S       how long a written board stays after the writer's
                       restart before it is taken away (default 1)
  --help               show this text
  --version            print the version and end

Faults, for tests
  --silent-at STAGE    misbehave at one stage of the boot program:
                         matching               no answer to the 0x00 bytes
                         match-confirm          0xFF in place of 0xE6
                         device-inquiry         no answer to 0x20
                         device-selection       no answer to 0x10
                         clock-mode-inquiry     no answer to 0x21
                         clock-mode-selection   refused (91 22)
                         ratio-inquiry          no answer to 0x22
                         frequency-inquiry      no answer to 0x23
                         new-bit-rate           refused (BF 24), rate kept
                         bit-rate-confirmation  no answer at the new rate
                         erase                  the erase never ends
                         erase-failure          the erase fails (C0 51)
                         user-mat               refused (C3 54)
                         end-of-programming     no answer to the end command
                         end-of-programming-refused
                                                refused (D0 53)
  --match-after N      answer only the N-th 0x00 of the bit-rate matching
  --short-device-answer
                       a supported-device answer of only 16 bytes
  --wrong-device-code  a device code whose bytes do not add up to 0x09
  --wrong-size-answer CODE
                       the answer to command CODE (hexadecimal, e.g. 25) says
                       in its size one byte more than it carries
  --bad-sum-answer CODE
                       the answer to command CODE ends in a SUM that does not
                       add up
  --not-taken CODE     answer command CODE with 80 and CODE
  --stray HEXBYTES     send these bytes ahead of every boot-program answer
                       (e.g. 15 or 15,FF)
  Programming blocks are numbered from 0 in the order their addresses first
  come after the erase; a block sent again keeps its number.
  --refuse-block N     answer programming block N with D0 53
  --silent-block N     never answer programming block N
  --sum-error-block N[,K]
                       answer programming block N with D0 11 (the board's sum
                       of it failed, nothing programmed) K times (default 1),
                       then take it
  --garbled-ack N      program block N, but its acknowledgement arrives
                       garbled: F9, once
  --garbled-block N    block N arrives damaged: nothing programmed, and the
                       answer arrives garbled: F9, once
  --flip-bit-after-block N
                       once programming block N is acknowledged, flip the
                       lowest bit of that block's last byte in the flash
  --no-erase           acknowledge the erase but leave the flash as it is
  --refuse-read CODE   answer every memory read with D2 and CODE
  --flash-in FILE      the flash holds FILE at the start (from address 0, at
                       most 1 MiB; the rest erased)
  --no-verify-commands answer the blank check, the sum check and the memory
                       read with 80 and the command byte, as a boot program
                       that does not have them

Exit status
  0    ended by a signal or by its time limit
  1    a terminal, link or file could not be made, or the output not written
  2    usage error
)";

struct Options {
    h8sx::sim::BoardOptions board;
    bool pace = false;
    double bitErrorRate = 0;
    std::uint64_t seed = 1;
    std::uint64_t latencyMicros = 0;
    unsigned boards = 1;
    std::string link, log, flashOut;
    std::optional<double> timeoutSeconds;
};

[[noreturn]] void BadUsage(const std::string& why) {
    std::fprintf(stderr, "h8sx-sim: %s\nTry 'h8sx-sim --help'.\n", why.c_str());
    std::exit(2);
}

// Writes `text` to standard output and ends: with status 1 when it cannot be written (a
// full disk, a reader that has gone).
[[noreturn]] void PrintAndExit(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
    const int error = errno;
    if (std::fclose(stdout) != 0 || !written) {
        std::fprintf(stderr, "h8sx-sim: cannot write the output: %s\n", std::strerror(written ? errno : error));
        std::exit(1);
    }
    std::exit(0);
}

unsigned long long Number(const std::string& option, const std::string& text, unsigned long long max) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v > max)
        BadUsage(option + ": not a number from 0 to " + std::to_string(max) + ": '" + text + "'");
    return v;
}

double Real(const std::string& option, const std::string& text, double max) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || v < 0 || v > max)
        BadUsage(option + ": not a number from 0 to " + std::to_string(max) + ": '" + text + "'");
    return v;
}

std::uint64_t Micros(double seconds) { return static_cast<std::uint64_t>(seconds * 1e6); }

std::vector<std::uint8_t> HexBytes(const std::string& option, const std::string& text) {
    std::vector<std::uint8_t> out;
    std::string digits;
    for (char c : text) {
        if (c == ',' || c == ' ' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) BadUsage(option + ": not hexadecimal: '" + text + "'");
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0) BadUsage(option + ": give whole bytes in hexadecimal: '" + text + "'");
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// A command code, one byte in hexadecimal.
std::uint8_t HexByte(const std::string& option, const std::string& text) {
    const std::vector<std::uint8_t> b = HexBytes(option, text.size() == 1 ? "0" + text : text);
    if (b.size() != 1) BadUsage(option + ": give one byte in hexadecimal: '" + text + "'");
    return b[0];
}

long BlockNumber(const std::string& option, const std::string& text) {
    return static_cast<long>(Number(option, text, 1'000'000'000));
}

// The flash's starting contents from a file of at most 1 MiB.
std::vector<std::uint8_t> FlashImage(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) BadUsage("--flash-in: cannot read " + path + ": " + std::strerror(errno));
    std::vector<std::uint8_t> bytes(h8sx::sim::kFlashSize + 1);
    const std::size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) BadUsage("--flash-in: cannot read " + path);
    if (n > h8sx::sim::kFlashSize) BadUsage("--flash-in: " + path + " is larger than the flash (1 MiB)");
    bytes.resize(n);
    return bytes;
}

Options Parse(int argc, char** argv) {
    Options o;
    o.board.keepLog = false;
    o.board.restartOnForeignByte = true;
    o.board.quietRestartMicros = 500'000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) BadUsage(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            PrintAndExit(kUsage);
        } else if (arg == "--version") {
            PrintAndExit(std::string("h8sx-sim ") + h8sx::kVersion + "\n");
        } else if (arg == "--link") {
            o.link = value();
        } else if (arg == "--log") {
            o.log = value();
        } else if (arg == "--flash-out") {
            o.flashOut = value();
        } else if (arg == "--timeout") {
            o.timeoutSeconds = Real(arg, value(), 1e7);
        } else if (arg == "--erase-ms") {
            o.board.eraseMicros = static_cast<std::uint32_t>(Number(arg, value(), 4'000'000) * 1000);
        } else if (arg == "--chip-timing" || arg == "--chip-timing=typ") {
            o.board.chipTiming = h8sx::sim::ChipTiming::Typical;
        } else if (arg == "--chip-timing=max") {
            o.board.chipTiming = h8sx::sim::ChipTiming::Maximum;
        } else if (arg == "--pace") {
            o.pace = true;
        } else if (arg == "--latency") {
            o.latencyMicros = Number(arg, value(), 10'000) * 1000;
        } else if (arg == "--noise") {
            o.bitErrorRate = Real(arg, value(), 1);
        } else if (arg == "--seed") {
            o.seed = Number(arg, value(), ~0ull >> 1);
        } else if (arg == "--start-quiet") {
            o.board.quietRestartMicros = Number(arg, value(), 60'000) * 1000;
        } else if (arg == "--boards") {
            o.boards = static_cast<unsigned>(Number(arg, value(), 64));
            if (o.boards == 0) BadUsage("--boards: at least 1");
        } else if (arg == "--swap") {
            o.board.swapMicros = Micros(Real(arg, value(), 1e6));
            if (o.board.swapMicros == 0) BadUsage("--swap: more than 0 seconds");
        } else if (arg == "--swap-after") {
            o.board.swapAfterMicros = Micros(Real(arg, value(), 1e6));
        } else if (arg == "--silent-at") {
            const std::string v = value();
            const auto& stages = h8sx::sim::FaultStages();
            const auto it = std::find_if(stages.begin(), stages.end(), [&](const auto& s) { return v == s.first; });
            if (it == stages.end()) BadUsage("--silent-at: no stage '" + v + "'");
            o.board.silentAt = it->second;
        } else if (arg == "--match-after") {
            o.board.matchAfter = static_cast<std::uint32_t>(Number(arg, value(), 1'000'000));
        } else if (arg == "--short-device-answer") {
            o.board.shortDeviceAnswer = true;
        } else if (arg == "--wrong-device-code") {
            o.board.wrongDeviceCode = true;
        } else if (arg == "--wrong-size-answer") {
            o.board.wrongSizeAnswerTo = HexByte(arg, value());
        } else if (arg == "--bad-sum-answer") {
            o.board.badSumAnswerTo = HexByte(arg, value());
        } else if (arg == "--not-taken") {
            o.board.notTaken = HexByte(arg, value());
        } else if (arg == "--refuse-read") {
            o.board.memoryReadError = HexByte(arg, value());
        } else if (arg == "--stray") {
            o.board.strayBytes = HexBytes(arg, value());
        } else if (arg == "--refuse-block") {
            o.board.refuseBlock = BlockNumber(arg, value());
        } else if (arg == "--silent-block") {
            o.board.silentBlock = BlockNumber(arg, value());
        } else if (arg == "--sum-error-block") {
            const std::string v = value();
            const std::size_t comma = v.find(',');
            o.board.sumErrorBlock = BlockNumber(arg, v.substr(0, comma));
            if (comma != std::string::npos)
                o.board.sumErrorTimes = static_cast<std::uint32_t>(Number(arg, v.substr(comma + 1), 1'000'000));
        } else if (arg == "--garbled-ack" || arg == "--garbled-block") {
            o.board.garbledBlock = BlockNumber(arg, value());
            o.board.garbledBlockProgrammed = arg == "--garbled-ack";
        } else if (arg == "--flip-bit-after-block") {
            o.board.flipBitAfterBlock = BlockNumber(arg, value());
        } else if (arg == "--no-erase") {
            o.board.noErase = true;
        } else if (arg == "--flash-in") {
            o.board.initialFlash = FlashImage(value());
        } else if (arg == "--no-verify-commands") {
            o.board.refuseVerifyCommands = true;
        } else {
            BadUsage("unknown option '" + arg + "'");
        }
    }
    return o;
}

// A station's file for board n: {n} in the path stands for its number; with more than one
// board, a path without it gets the number at its end.
std::string ForBoard(const std::string& path, unsigned n, unsigned boards) {
    if (path.empty()) return path;
    const std::string number = std::to_string(n);
    std::string out = path;
    bool marked = false;
    for (std::size_t at; (at = out.find("{n}")) != std::string::npos; marked = true) out.replace(at, 3, number);
    return marked || boards == 1 ? out : out + number;
}

// Makes `link` a symbolic link to `target`, replacing a link that is there (but nothing
// else: a file of that name is left alone).
bool MakeLink(const std::string& link, const std::string& target) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        std::fprintf(stderr, "h8sx-sim: %s exists and is not a symbolic link\n", link.c_str());
        return false;
    }
    // A new link beside it, renamed over the old one: the name never points nowhere.
    const std::string fresh = link + ".h8sx-sim-" + std::to_string(::getpid());
    ::unlink(fresh.c_str());
    if (::symlink(target.c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "h8sx-sim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
        ::unlink(fresh.c_str());
        return false;
    }
    return true;
}

// Removes the link at the end, unless somebody has pointed it elsewhere meanwhile.
void RemoveLink(const std::string& link, const std::string& target) {
    std::vector<char> buf(target.size() + 2);
    const ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size());
    if (n >= 0 && std::string(buf.data(), static_cast<std::size_t>(n)) == target) ::unlink(link.c_str());
}

bool WriteFlash(const std::string& path, const std::vector<std::uint8_t>& flash) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(flash.data(), 1, flash.size(), f) == flash.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

// One board of the station with what belongs to it: its terminal, its files.
struct Seat {
    std::unique_ptr<h8sx::sim::Board> board;
    std::unique_ptr<h8sx::sim::PtyHost> host;
    std::FILE* log = nullptr;
    std::string link, flashOut;
};

int main(int argc, char** argv) {
    // A reader of our output that goes away must not end the board: a write to it fails.
    ::signal(SIGPIPE, SIG_IGN);
    Options o = Parse(argc, argv);
#ifdef __linux__
    // A paced line wakes at the moment each byte is due: without slack, not up to 50 µs late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif

    const std::uint64_t epoch = h8sx::sim::PtyHost::Clock();
    std::vector<Seat> seats(o.boards);
    int status = 0;
    for (unsigned n = 1; n <= o.boards && status == 0; ++n) {
        Seat& seat = seats[n - 1];
        seat.link = ForBoard(o.link, n, o.boards);
        seat.flashOut = ForBoard(o.flashOut, n, o.boards);
        if (!o.log.empty()) {
            const std::string path = ForBoard(o.log, n, o.boards);
            seat.log = std::fopen(path.c_str(), "w");
            if (!seat.log) {
                std::fprintf(stderr, "h8sx-sim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
                status = 1;
                break;
            }
        }
        seat.board = std::make_unique<h8sx::sim::Board>(o.board);
        seat.host = std::make_unique<h8sx::sim::PtyHost>(
            *seat.board, h8sx::sim::PtyHostOptions{o.pace, seat.log, o.bitErrorRate, o.seed + 2 * (n - 1),
                                                   o.latencyMicros, epoch});
        if (!seat.flashOut.empty()) {
            h8sx::sim::PtyHost& host = *seat.host;
            const std::string file = seat.flashOut;
            seat.board->Options().onFlashWritten = [&host, file](const std::vector<std::uint8_t>& flash) {
                const bool ok = WriteFlash(file, flash);
                host.LogEvent(host.Now(), (ok ? "flash written to " : "cannot write the flash to ") + file);
                if (!ok) std::fprintf(stderr, "h8sx-sim: cannot write %s\n", file.c_str());
            };
        }
        std::string error;
        if (!seat.host->Open(error)) {
            std::fprintf(stderr, "h8sx-sim: %s\n", error.c_str());
            status = 1;
        } else if (!seat.link.empty() && !MakeLink(seat.link, seat.host->TerminalPath())) {
            seat.link.clear();
            status = 1;
        }
    }

    if (status == 0) {
        // The stop signals are taken only while the station sleeps, so none is lost
        // between looking at the flag and going to sleep.
        sigset_t stopSignals, sleepMask;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        sigprocmask(SIG_BLOCK, &stopSignals, &sleepMask);
        sigdelset(&sleepMask, SIGINT);
        sigdelset(&sleepMask, SIGTERM);
        struct sigaction sa {};
        sa.sa_handler = OnStopSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);

        std::vector<h8sx::sim::PtyHost*> hosts;
        for (Seat& seat : seats) {
            hosts.push_back(seat.host.get());
            std::printf("%s\n", seat.host->TerminalPath().c_str());
        }
        std::fflush(stdout);

        std::optional<std::uint64_t> deadline;
        if (o.timeoutSeconds) deadline = hosts.front()->Now() + Micros(*o.timeoutSeconds);
        h8sx::sim::ServeStation(hosts, g_stop, deadline, sleepMask);
    }

    for (Seat& seat : seats) {
        if (seat.host) {
            if (status == 0) seat.host->LogEvent(seat.host->Now(), g_stop ? "ended by a signal" : "time limit reached");
            seat.host->FlushLog();
            if (!seat.link.empty()) RemoveLink(seat.link, seat.host->TerminalPath());
        }
        seat.host.reset();
        if (seat.log) std::fclose(seat.log);
    }
    return status;
}
