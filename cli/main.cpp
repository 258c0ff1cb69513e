// h8sx: the writer from the command line. Arguments take the place of the window's
// clicks; the core does the rest.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Version.h"
#include "boot/BootProtocol.h"
#include "cli/Commands.h"
#include "cli/Session.h"
#include "cli/System.h"
#include "image/ImageFormat.h"

namespace {

using namespace h8sx::cli;

// Every exit status; each command's help lists those it can return.
const std::map<int, const char*> kStatusMeaning = {
    {kDone, "done"},
    {kUsage, "usage error"},
    {kPortNotOpened, "the port could not be opened"},
    {kNoBoard, "no board answered the bit-rate matching"},
    {kBootFailed, "the boot dialogue failed (device, clock, bit rate, erase, MAT selection)"},
    {kFileFailed, "a file could not be read or written, or FILE is refused (nothing programmed)"},
    {kTransferFailed, "the transfer failed (a block or the end command refused or unanswered)"},
    {kNotSeen, "--expect: the text was not seen in time"},
    {kVerifyFailed, "the verify failed: the flash does not hold FILE, or no answer to it"},
    {kInterrupted, "interrupted (Ctrl-C, SIGTERM): the board is restarted, the port released"},
};

const char* const kUsageText = R"(Usage: h8sx COMMAND [OPTION]... [FILE]
Writes programs into an H8SX1622 board's flash over a serial port through the
chip's boot mode, and shows what the board's own program sends.

Commands
  write FILE        erase the flash and program the image FILE into it
  check FILE        read FILE as write would, and send nothing
  monitor           restart the board and show what it sends
  ram-write FILE    send the S-record FILE to the board's own program
  reset             restart the board into its own program
  ports             list the serial ports and their names

Options for every command that uses a port
  --port PORT       COM1, COM2, ... as in the window, or a device path
                    (/dev/ttyUSB0, \\.\COM12); without it, the port ticked in
                    the window's settings file
  --quiet           print only errors

  --help            show this text ('h8sx COMMAND --help' for a command's)
  --version         show the version

Files
  write and check take S-records, Intel HEX or a binary image: a first 'S'
  or ':' tells the two texts, a name ending in .bin a binary one, and
  --format srec, ihex or binary names the format. FILE '-' is standard input.
  S-records: S1, S2 or S3 data records of one type (or S1 up to 0xFFFF, then
  S2) after an optional S0 header, ended by the termination record of their
  kind (S9, S8, S7) or by an S5 or S6 count record that counts them.
  Intel HEX: data records (00) under extended segment or linear addresses
  (02, 04), ended by the end record (01); start addresses (03, 05) pass.
  Both: data ascending from address 0 (where this board starts), gaps filled
  with 0xFF; lines end in LF, CR LF or CR, hex digits in either case; blank
  lines and a final Ctrl-Z pass. Anything else refuses the file, named by its
  line. --lenient reads S-records as the window does.
  Binary: the bytes of the flash from address 0.
  An ELF file is refused: 'objcopy -O srec app.elf app.mot' converts it.

Output
  Status texts go to standard error, each with the seconds since the start;
  what the board sends goes to standard output.
)";

struct Command {
    const char* help;
    std::vector<int> statuses;
    // Where a status means less for this command than for all.
    std::map<int, const char*> meanings = {};
};

const std::map<std::string, Command> kCommands = {
    {"write",
     {R"(Usage: h8sx write [OPTION]... FILE
The whole write: the board is reset into its boot program, the bit rate is
matched, the flash is erased, FILE is programmed 128 bytes at a time from flash
address 0, and the board is restarted into its own program. FILE is read first
('-': standard input): a damaged one leaves the board untouched.

Options
  --port PORT         the port (see 'h8sx --help')
  --skip-blank        leave blocks of only 0xFF as erased instead of programming
                      them; the flash ends the same, a file with a large gap
                      goes much faster
  --format FORMAT     read FILE as srec, ihex or binary, whatever its first
                      bytes say ('h8sx --help': Files)
  --lenient           read an S-record FILE as the window does: wrong
                      checksums, mixed record types, a header in the middle
                      and text behind the termination record pass, and a file
                      linked above address 0 is written from flash address 0;
                      Intel HEX is read strictly all the same
  --ignore-checksums  load records with a wrong checksum, and read strictly
                      otherwise (the narrower switch)
  --verify=sum        (the default) check the flash with the boot program's
                      own commands: the blank check and the sum of the flash
                      after the erase, the sum again after the programming,
                      which the programmed bytes must account for exactly
  --verify=read       the same, and every programmed block read back and
                      compared byte for byte: the first wrong address is named
  --no-verify         trust the acknowledgements alone, as the window does
  --bit-rate RATE     erase, program and verify at RATE bit/s (default 38400);
                      the chip makes 57600, 62500, 76800, 125000, 156250,
                      208333, 312500 and 625000 too, but not 115200; what the
                      adapter and the board's RS-232 driver take limits it:
                      raise it step by step
  --quiet             print only errors
)",
      {kDone, kUsage, kPortNotOpened, kNoBoard, kBootFailed, kFileFailed, kTransferFailed, kVerifyFailed,
       kInterrupted},
      {{kFileFailed, "FILE could not be read or is refused (nothing programmed)"},
       {kBootFailed, "the boot dialogue failed (device, clock, bit rate, erase, blank check)"}}}},
    {"check",
     {R"(Usage: h8sx check [OPTION]... FILE
Reads FILE ('-': standard input) as write would and sends nothing: the format
and records, the image length, the blocks and the programming time at the bit
rate, or what is wrong with it, by its line, and what the window would do with
an S-record file.

Options
  --out IMAGE.bin     write the bytes the blocks would carry (blocks x 128)
  --bit-rate RATE     the rate the time is worked out for (default 38400)
  --format FORMAT     srec, ihex or binary (see 'h8sx write --help')
  --lenient           read FILE as the window does (see 'h8sx write --help')
  --ignore-checksums  accept records with a wrong checksum, naming them
  --quiet             print only errors
)",
      {kDone, kUsage, kFileFailed, kInterrupted},
      {{kFileFailed, "FILE could not be read or is refused, or IMAGE.bin could not be written"},
       {kInterrupted, "interrupted (Ctrl-C, SIGTERM)"}}}},
    {"monitor",
     {R"(Usage: h8sx monitor [OPTION]...
Restarts the board into its own program and prints what it sends, decoded from
Shift-JIS, on standard output as UTF-8. Keys typed on a terminal go to the
board in Shift-JIS, the board's character set (Enter as CR); Ctrl-] ends,
Ctrl-C too (status 130). Standard input that is not a terminal is sent as it
comes (LF and CR LF as CR); its end does not end the monitor. A character the
board's character set has no form for is not sent, and said so once. When
standard output is a pipe whose reader ends, the monitor ends with status 0.

Options
  --port PORT       the port (see 'h8sx --help')
  --no-reset        attach without restarting the board
  --timeout S       end after S seconds
  --expect TEXT     end with status 0 as soon as TEXT has appeared; with
                    status 7 when the timeout passes without it
  --quiet           print only errors
)",
      {kDone, kUsage, kPortNotOpened, kNotSeen, kInterrupted}}},
    {"ram-write",
     {R"(Usage: h8sx ram-write [OPTION]... FILE
Restarts the board into its own program and sends the S-record FILE ('-':
standard input) to it as text, as the window's RAM_WRITE does.

Options
  --port PORT       the port (see 'h8sx --help')
  --monitor         go on as 'h8sx monitor --no-reset' afterwards; takes its
                    --timeout and --expect
  --quiet           print only errors
)",
      {kDone, kUsage, kPortNotOpened, kFileFailed, kNotSeen, kInterrupted},
      {{kFileFailed, "FILE could not be read"}}}},
    {"reset",
     {R"(Usage: h8sx reset [OPTION]...
Restarts the board into its own program, as the monitor's CPU_RESET does.

Options
  --port PORT       the port (see 'h8sx --help')
  --quiet           print only errors
)",
      {kDone, kUsage, kPortNotOpened}}},
    {"ports",
     {R"(Usage: h8sx ports
Lists the serial ports of this machine: the name each has in the window, the
device it opens, whether it is there now, and what the system calls it.
)",
      {kDone, kUsage}}},
};

void PrintStatuses(const std::vector<int>& statuses, const std::map<int, const char*>& meanings = {}) {
    std::fputs("\nExit status\n", stdout);
    for (int status : statuses) {
        const auto own = meanings.find(status);
        std::printf("  %-4d %s\n", status, own != meanings.end() ? own->second : kStatusMeaning.at(status));
    }
}

int Usage(const std::string& why) {
    std::fprintf(stderr, "h8sx: %s\nTry 'h8sx --help'.\n", why.c_str());
    return kUsage;
}

// The rates from 9600 bit/s up that the chip makes from its clock.
std::string RatesTheChipMakes() {
    std::string list;
    for (std::uint32_t r : {9600u, 19200u, 31250u, 38400u, 57600u, 62500u, 76800u, 125000u, 156250u, 208333u,
                            312500u, 625000u})
        if (h8sx::ChipCanMakeBitRate(r)) list += (list.empty() ? "" : ", ") + std::to_string(r);
    return list;
}

bool Seconds(const std::string& text, double& s) {
    char* end = nullptr;
    s = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && s >= 0 && s < 1e7;
}

int Run(const std::vector<std::string>& argv) {
    const int argc = static_cast<int>(argv.size());
    if (argc < 2) return Usage("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        std::fputs(kUsageText, stdout);
        std::vector<int> all;
        for (const auto& [status, meaning] : kStatusMeaning) all.push_back(status);
        PrintStatuses(all);
        return kDone;
    }
    if (command == "--version") {
        std::printf("h8sx %s\n", h8sx::kVersion);
        return kDone;
    }
    const auto help = kCommands.find(command);
    if (help == kCommands.end()) return Usage("no command '" + command + "'");

    const bool takesFile = command == "write" || command == "check" || command == "ram-write";
    const bool usesPort = command != "check" && command != "ports";
    const bool monitors = command == "monitor" || command == "ram-write";
    Options o;
    bool haveFile = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](std::string& v) {
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            std::fputs(help->second.help, stdout);
            PrintStatuses(help->second.statuses, help->second.meanings);
            return kDone;
        } else if (arg == "--quiet" && command != "ports") {
            o.quiet = true;
        } else if (arg == "--port" && usesPort) {
            if (!value(v) || v.empty()) return Usage("--port needs a port");
            o.port = v;
        } else if (arg == "--skip-blank" && command == "write") {
            o.skipBlank = true;
        } else if ((arg == "--verify" || arg.rfind("--verify=", 0) == 0) && command == "write") {
            if (arg == "--verify" && !value(v)) return Usage("--verify needs sum or read");
            const std::string mode = arg == "--verify" ? v : arg.substr(9);
            if (mode != "sum" && mode != "read") return Usage("--verify takes sum or read, not '" + mode + "'");
            o.verify = mode == "sum" ? h8sx::Verify::Sum : h8sx::Verify::Read;
        } else if (arg == "--no-verify" && command == "write") {
            o.verify = h8sx::Verify::None;
        } else if (arg == "--bit-rate" && (command == "write" || command == "check")) {
            char* end = nullptr;
            const unsigned long rate = value(v) ? std::strtoul(v.c_str(), &end, 10) : 0;
            if (rate == 0 || *end != '\0' || rate > 10'000'000) return Usage("--bit-rate needs a rate in bit/s");
            if (!h8sx::ChipCanMakeBitRate(static_cast<std::uint32_t>(rate))) {
                const auto error = h8sx::BitRateError(static_cast<std::uint32_t>(rate));
                char why[80] = "out of its range";
                if (error) std::snprintf(why, sizeof why, "%+.1f %% off", *error * 100);
                return Usage("--bit-rate " + v + ": the chip cannot make it from its 20 MHz clock (" + why +
                             "); it makes " + RatesTheChipMakes());
            }
            o.bitRate = static_cast<std::uint32_t>(rate);
        } else if (arg == "--ignore-checksums" && (command == "write" || command == "check")) {
            o.ignoreChecksums = true;
        } else if (arg == "--lenient" && (command == "write" || command == "check")) {
            o.lenient = true;
        } else if ((arg == "--format" || arg.rfind("--format=", 0) == 0) &&
                   (command == "write" || command == "check")) {
            if (arg == "--format" && !value(v)) return Usage("--format needs srec, ihex or binary");
            const std::string name = arg == "--format" ? v : arg.substr(9);
            o.format = h8sx::FormatNamed(name);
            if (!o.format) return Usage("--format takes srec, ihex or binary, not '" + name + "'");
        } else if (arg == "--out" && command == "check") {
            if (!value(v)) return Usage("--out needs a file");
            o.out = v;
        } else if (arg == "--no-reset" && command == "monitor") {
            o.noReset = true;
        } else if (arg == "--monitor" && command == "ram-write") {
            o.monitor = true;
        } else if (arg == "--timeout" && monitors) {
            double s;
            if (!value(v) || !Seconds(v, s)) return Usage("--timeout needs a number of seconds");
            o.timeout = s;
        } else if (arg == "--expect" && monitors) {
            if (!value(v) || v.empty()) return Usage("--expect needs a text");
            o.expect = v;
        } else if (takesFile && !haveFile && (arg.empty() || arg[0] != '-' || arg == "-")) {
            o.file = arg;
            haveFile = true;
        } else {
            return Usage(command + ": unexpected '" + arg + "'");
        }
    }
    if (takesFile && !haveFile) return Usage(command + ": no file given");
    if (command == "ram-write" && !o.monitor && (o.timeout || o.expect))
        return Usage("ram-write: --timeout and --expect go with --monitor");

    UseUtf8Console();
    InstallStopHandlers();
    return RunCommand(command, o);
}

}  // namespace

int main(int argc, char** argv) { return Run(Arguments(argc, argv)); }
