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
terminal end on the first line of its output, then serves until it is ended
(SIGINT, SIGTERM) or its time limit runs out.

Line and start mode
  A pseudo-terminal has no modem lines, so the board cannot see DTR and RTS.
  Instead, a program opening the terminal end resets the board, and the first
  byte it sends afterwards chooses the start: 0x00 starts the chip's boot
  program (bit-rate matching, then the boot-mode commands), any other byte the
  board's own program. After a write (once the flash has been erased), a byte
  that no command of the programming/erasure state begins with (43, 50, 4D, 4B,
  52) is taken as the writer's restart of the board, and goes to the board's
  own program. The bit rate the program has set on the terminal counts, custom
  rates included: bytes sent at a rate more than 1 % away from the one the
  other side listens at arrive garbled, in both directions (a byte to the host
  arrives xor 0xA5).

The boot program
  Matches bit rates on 0x00 bytes (answer 0x00, then 0xE6 to 0x55), answers the
  supported device inquiry (device code 00 00 00 09, "H8SX1622"), device and
  clock mode selection (mode 0), the multiplication ratio (x4, x2) and
  operating frequency inquiries, and the new bit rate selection (10 MHz input,
  ratios 4 and 2) for every rate its 20 MHz peripheral clock makes within 4 %
  (N = round(20e6 / (32 B)) - 1 in 0..255; e.g. 9600, 19200, 38400, 57600,
  62500, 76800, 125000, 156200, 208300, 312500 and 625000 bit/s, not 115200;
  else BF 24), then works at the rate selected. The transition to the
  programming/erasure state erases its 1 MiB flash (the user MAT); there it
  takes the user MAT programming selection (43), then 128-byte programming
  commands (50) up to the end of programming (50 FF FF FF FF B4). After the
  erase and after every end of programming it also takes the user MAT blank
  check (4D: 06, or CD 52), the sum check (4B: 5B 04, the byte sum of the
  whole MAT modulo 2^32, SUM) and the memory read (52 09 01 address size SUM:
  52 size data SUM; or D2 11, D2 2A for an address outside the MAT or an area
  other than 01, D2 2B for a size that runs past its end). A command it does
  not take in its present state is answered 80 and the command byte.

The board's own program
  At every start it sends the line "H8SX1622 virtual board 仮想ボード起動"
  (the Japanese in Shift-JIS) and CR LF, at 38400 bit/s.
  It echoes every byte it receives; Enter (CR, 0x0D) is answered with CR LF,
  and a line feed is taken silently.
  A RAM write (S-record text, lines ending in CR LF, closed by "S7" and CR) is
  answered after that closing CR with "RAM: <n> records, <m> bytes ロード完了"
  (Shift-JIS) and CR LF: the S1, S2 and S3 records and their data bytes.

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
  --pace               deliver bytes in both directions no faster than the
                       bit rate in force allows (10 bits a byte)
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
  --stray HEXBYTES     send these bytes ahead of every boot-program answer
                       (e.g. 15 or 15,FF)
  --refuse-block N     answer programming block N (from 0) with D0 53
  --silent-block N     never answer programming block N
  --flip-bit-after-block N
                       once programming block N (from 0) is acknowledged, flip
                       the lowest bit of that block's last byte in the flash
  --no-erase           acknowledge the erase but leave the flash as it is
  --flash-in FILE      the flash holds FILE at the start (from address 0, at
                       most 1 MiB; the rest erased)
  --no-verify-commands answer the blank check, the sum check and the memory
                       read with 80 and the command byte, as a boot program
                       that does not have them
)";

struct Options {
    h8sx::sim::BoardOptions board;
    bool pace = false;
    std::string link, log, flashOut;
    std::optional<double> timeoutSeconds;
};

[[noreturn]] void BadUsage(const std::string& why) {
    std::fprintf(stderr, "h8sx-sim: %s\nTry 'h8sx-sim --help'.\n", why.c_str());
    std::exit(2);
}

unsigned long long Number(const std::string& option, const std::string& text, unsigned long long max) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v > max)
        BadUsage(option + ": not a number from 0 to " + std::to_string(max) + ": '" + text + "'");
    return v;
}

std::vector<std::uint8_t> HexBytes(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::string digits;
    for (char c : text) {
        if (c == ',' || c == ' ' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) BadUsage("--stray: not hexadecimal: '" + text + "'");
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0) BadUsage("--stray: give whole bytes in hexadecimal: '" + text + "'");
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
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
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) BadUsage(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--version") {
            std::printf("h8sx-sim %s\n", h8sx::kVersion);
            std::exit(0);
        } else if (arg == "--link") {
            o.link = value();
        } else if (arg == "--log") {
            o.log = value();
        } else if (arg == "--flash-out") {
            o.flashOut = value();
        } else if (arg == "--timeout") {
            const std::string v = value();
            char* end = nullptr;
            const double s = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !std::isfinite(s) || s < 0 || s > 1e7)
                BadUsage("--timeout: not a number of seconds: '" + v + "'");
            o.timeoutSeconds = s;
        } else if (arg == "--erase-ms") {
            o.board.eraseMicros = static_cast<std::uint32_t>(Number(arg, value(), 4'000'000) * 1000);
        } else if (arg == "--pace") {
            o.pace = true;
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
        } else if (arg == "--stray") {
            o.board.strayBytes = HexBytes(value());
        } else if (arg == "--refuse-block") {
            o.board.refuseBlock = static_cast<long>(Number(arg, value(), 1'000'000'000));
        } else if (arg == "--silent-block") {
            o.board.silentBlock = static_cast<long>(Number(arg, value(), 1'000'000'000));
        } else if (arg == "--flip-bit-after-block") {
            o.board.flipBitAfterBlock = static_cast<long>(Number(arg, value(), 1'000'000'000));
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

int main(int argc, char** argv) {
    Options o = Parse(argc, argv);
#ifdef __linux__
    // A paced line wakes at the moment each byte is due: without slack, not up to 50 µs late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif

    std::FILE* log = nullptr;
    if (!o.log.empty()) {
        log = std::fopen(o.log.c_str(), "w");
        if (!log) {
            std::fprintf(stderr, "h8sx-sim: cannot write %s: %s\n", o.log.c_str(), std::strerror(errno));
            return 1;
        }
    }

    h8sx::sim::Board board(o.board);
    h8sx::sim::PtyHost host(board, h8sx::sim::PtyHostOptions{o.pace, log});
    if (!o.flashOut.empty()) {
        board.Options().onFlashWritten = [&](const std::vector<std::uint8_t>& flash) {
            const bool ok = WriteFlash(o.flashOut, flash);
            host.LogEvent(host.Now(), (ok ? "flash written to " : "cannot write the flash to ") + o.flashOut);
            if (!ok) std::fprintf(stderr, "h8sx-sim: cannot write %s\n", o.flashOut.c_str());
        };
    }

    // The stop signals are taken only while the host sleeps, so none is lost between
    // looking at the flag and going to sleep.
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
    // A reader of our output that goes away must not end the board.
    ::signal(SIGPIPE, SIG_IGN);

    std::string error;
    if (!host.Open(error)) {
        std::fprintf(stderr, "h8sx-sim: %s\n", error.c_str());
        return 1;
    }
    if (!o.link.empty() && !MakeLink(o.link, host.TerminalPath())) return 1;
    std::printf("%s\n", host.TerminalPath().c_str());
    std::fflush(stdout);

    std::optional<std::uint64_t> deadline;
    if (o.timeoutSeconds) deadline = host.Now() + static_cast<std::uint64_t>(*o.timeoutSeconds * 1e6);
    host.Serve(g_stop, deadline, sleepMask);

    host.LogEvent(host.Now(), g_stop ? "ended by a signal" : "time limit reached");
    host.FlushLog();
    if (!o.link.empty()) RemoveLink(o.link, host.TerminalPath());
    if (log) std::fclose(log);
    return 0;
}
