#include "cli/Arguments.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

#include "boot/BootProtocol.h"
#include "image/ImageFormat.h"

namespace h8sx::cli {

namespace {

// What a command does, for the statuses it can end with.
enum Trait : unsigned {
    kPortTrait = 1,     // opens a port
    kBootTrait = 2,     // talks to the boot program
    kProgramTrait = 4,  // programs and verifies the flash
    kFileTrait = 8,     // reads FILE
    kExpectTrait = 16,  // watches the board's text for --expect
};

struct CommandSpec {
    const char* name;
    unsigned traits;
    const char* help;
    // Where a status means less for this command than for all.
    std::map<int, const char*> meanings = {};
};

// Every exit status, what it means, and which commands can end with it.
struct StatusSpec {
    int status;
    const char* meaning;
    unsigned traits;  // 0: every command
};

const StatusSpec kStatuses[] = {
    {kDone, "done", 0},
    {kUsage, "usage error, or standard output or error closed under the command", 0},
    {kPortNotOpened, "the port could not be opened, or went away before the flash was touched", kPortTrait},
    {kNoBoard, "no board answered the bit-rate matching", kBootTrait},
    {kBootFailed, "the boot dialogue failed or the board refused a step (device, clock, bit rate, erase, "
                  "blank check, MAT selection), or an inquiry's answer is malformed or not taken",
     kBootTrait},
    {kFileFailed, "a file could not be read or written (a full disk too), or FILE is refused (nothing "
                  "programmed)",
     0},
    {kTransferFailed, "the transfer failed: a block or the end command refused or unanswered, or the port went "
                      "away once the flash was being changed",
     kProgramTrait},
    {kNotSeen, "--expect: the text was not seen in time", kExpectTrait},
    {kVerifyFailed, "the verify failed: the flash does not hold FILE, or no answer to it", kProgramTrait},
    {kInterrupted, "interrupted (Ctrl-C, SIGTERM): the board is restarted, the port released", 0},
};

const char* const kOwnHelp = R"(Usage: h8sx COMMAND [OPTION]... [FILE]
Writes programs into an H8SX1622 board's flash over a serial port through the
chip's boot mode, and shows what the board's own program sends.

Commands
  write FILE        erase the flash and program the image FILE into it
  check FILE        read FILE as write would, and send nothing
  monitor           restart the board and show what it sends
  ram-write FILE    send the S-record FILE to the board's own program
  reset             restart the board into its own program
  info              show what the board's boot program says of the chip
  ports             list the serial ports and their names

Options for every command that uses a port
  --port PORT       COM1, COM2, ... as in the window, or a device path
                    (/dev/ttyUSB0, \\.\COM12); without it, the port ticked in
                    the window's settings file. Given again, or as a list
                    (--port COM3,COM4), write, monitor and reset run on every
                    board at once
  --quiet           print only errors
  --trace FILE      write every byte on the line to FILE as it goes
                    (see 'h8sx info --help')

  --help            show this text ('h8sx COMMAND --help' for a command's)
  --version         show the version

An option's value follows it (--port COM3) or stands behind '=' (--port=COM3);
options may come before the command too (h8sx --port COM3 write app.mot).

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

const CommandSpec kCommands[] = {
    {"write", kPortTrait | kBootTrait | kProgramTrait | kFileTrait,
     R"(Usage: h8sx write [OPTION]... FILE
The whole write: the board is reset into its boot program, the bit rate is
matched, the flash is erased, FILE is programmed 128 bytes at a time from flash
address 0, and the board is restarted into its own program. FILE is read first
('-': standard input): a damaged one leaves the board untouched.

Several boards at once (a station): --port for each, or a list. FILE is read
once; each board gets its own write, shown on a terminal as a table of its
port, stage, progress and time, otherwise as lines that start with the port's
name; a summary ends it. The status is that of the first port, in the order
given, whose board failed.

Options
  --port PORT         the port (see 'h8sx --help'); again, or a list, for more
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
  --log FILE          append a CSV row for every board to FILE (time, host,
                      port, device, adapter, file, image_sha256, serial,
                      bit_rate, verify, blocks, seconds, erased_sum, final_sum,
                      outcome, status, message), under a lock and on the disk
                      before the next board: stations may share it
  --serial ADDR:FORMAT
                      give each board its own number at ADDR (where FILE holds
                      0xFF): u16be, u32be, u16le, u32le, dec:N or hex:N (N
                      digits, zero-padded); the verify covers it
  --serial-next FILE  the file that holds the next number as text; taken and
                      advanced under a lock before each board, never twice
  --repeat            board after board: after each round, Enter (a foot
                      switch) writes the next boards that answer; q ends
  --repeat=auto       each port asks for its board once a second and writes a
                      new one as it answers; the board just written answers
                      (waiting in its boot program) until it is taken away
  --retries N         a block the board's sum refused (D0 11) is sent again,
                      one whose answer came garbled or not at all is read back
                      and sent again only where it reads erased: up to N times
                      a block (default 3; 0: the first such answer ends the
                      write, as in the window)
  --trace FILE        every byte on the line to FILE (see 'h8sx info --help')
  --quiet             print only errors
)",
     {{kFileFailed, "FILE could not be read or is refused (nothing programmed), a serial number or the log "
                    "could not be had or written, or the output could not be written"}}},
    {"check", kFileTrait,
     R"(Usage: h8sx check [OPTION]... FILE
Reads FILE ('-': standard input) as write would and sends nothing: the format
and records, the image length, the blocks and the programming time at the bit
rate, or what is wrong with it, by its line, and what the window would do with
an S-record file.

Options
  --out IMAGE.bin     write the bytes the blocks would carry (blocks x 128);
                      '-': to standard output, the summary then to standard
                      error
  --bit-rate RATE     the rate the time is worked out for (default 38400)
  --format FORMAT     srec, ihex or binary (see 'h8sx write --help')
  --lenient           read FILE as the window does (see 'h8sx write --help')
  --ignore-checksums  accept records with a wrong checksum, naming them
  --serial ADDR:FORMAT
                      where a board's serial number would go and its bytes
                      (see 'h8sx write --help'); the place is checked
  --serial-next FILE  the number to show: the next one FILE holds (not taken)
  --quiet             print only errors
)",
     {{kFileFailed, "FILE could not be read or is refused, or IMAGE.bin or the output could not be written"},
      {kInterrupted, "interrupted (Ctrl-C, SIGTERM)"}}},
    {"monitor", kPortTrait | kExpectTrait,
     R"(Usage: h8sx monitor [OPTION]...
Restarts the board into its own program and prints what it sends, decoded from
Shift-JIS, on standard output as UTF-8. Keys typed on a terminal go to the
board in Shift-JIS, the board's character set (Enter as CR); Ctrl-] ends,
Ctrl-C too (status 130). Standard input that is not a terminal is sent as it
comes (LF and CR LF as CR); its end does not end the monitor. A character the
board's character set has no form for is not sent, and said so once. When
standard output is a pipe whose reader ends, the monitor ends with status 0.
Several boards (--port again, or a list): each line of a board's text starts
with its port's name, no keys are sent, and --expect ends each board on its
own: 0 when every board showed the text.

Options
  --port PORT       the port (see 'h8sx --help'); again, or a list, for more
  --no-reset        attach without restarting the board
  --timeout S       end after S seconds
  --expect TEXT     end with status 0 as soon as TEXT has appeared; with
                    status 7 when the timeout passes without it
  --trace FILE      every byte on the line to FILE (see 'h8sx info --help')
  --quiet           print only errors
)",
     {{kFileFailed, "standard output or error could not be written (a full disk)"},
      {kPortNotOpened, "the port could not be opened, or went away"}}},
    {"ram-write", kPortTrait | kFileTrait | kExpectTrait,
     R"(Usage: h8sx ram-write [OPTION]... FILE
Restarts the board into its own program and sends the S-record FILE ('-':
standard input) to it as text, as the window's RAM_WRITE does. FILE is read
first: every record well formed with its checksum right, and the S7 record
that makes the board's program take the load at its end; anything else refuses
it (its line named) before the board is touched.

Options
  --port PORT       the port (see 'h8sx --help')
  --lenient         send FILE as the window does, whatever it holds
  --monitor         go on as 'h8sx monitor --no-reset' afterwards; takes its
                    --timeout and --expect
  --timeout S       with --monitor: end after S seconds
  --expect TEXT     with --monitor: end as soon as TEXT has appeared
  --trace FILE      every byte on the line to FILE (see 'h8sx info --help')
  --quiet           print only errors
)",
     {{kFileFailed, "FILE could not be read or is refused (nothing sent)"},
      {kPortNotOpened, "the port could not be opened, or went away"}}},
    {"reset", kPortTrait,
     R"(Usage: h8sx reset [OPTION]...
Restarts the board into its own program, as the monitor's CPU_RESET does.

Options
  --port PORT       the port (see 'h8sx --help'); again, or a list, for more
  --trace FILE      every byte on the line to FILE (see 'h8sx info --help')
  --quiet           print only errors
)",
     {{kFileFailed, "standard error could not be written (a full disk)"},
      {kPortNotOpened, "the port could not be opened, or went away"}}},
    {"info", kPortTrait | kBootTrait,
     R"(Usage: h8sx info [OPTION]...
Resets the board into its boot program, matches the bit rate, selects the
device and its clock mode as write does, and asks every inquiry of the boot
program: the multiplication ratios, the operating frequencies, the user boot
MAT and the user MAT (address ranges and sizes), the erase blocks, the
programming unit and the boot program's status. Nothing is erased; the board
is restarted into its own program. Printed for a person on standard output,
or with --json as one JSON object a line: one a port, each with its "port"
(a board that failed gives {"port", "status", "error"}), printed as each
board ends.

Options
  --port PORT       the port (see 'h8sx --help'); several: --port again or a
                    comma list
  --json            one JSON object a board, for a program
  --trace FILE      write every byte on the line to FILE as it goes, flushed
                    line by line: SECONDS tx|rx RATE HEX ... # what it is
                    (tx to the board, RATE the bit rate in force; after '#'
                    the protocol step, the block and its address, what the
                    answer means); a line starting with '#' is a note. With
                    several ports, one file each, the port's name put in
                    before FILE's extension (trace.COM3.txt). The same for
                    write, monitor, ram-write and reset
  --quiet           print only errors
)",
     {{kFileFailed, "a trace file could not be written (the board untouched), or the output"},
      {kPortNotOpened, "the port could not be opened, or went away"}}},
    {"ports", 0,
     R"(Usage: h8sx ports
Lists the serial ports of this machine: the name each has in the window, the
device it opens, whether it is there now, and what the system calls it.
)",
     {{kFileFailed, "a number given to a new adapter could not be saved, or the output could not be written"},
      {kInterrupted, "interrupted (Ctrl-C, SIGTERM)"}}},
};

const CommandSpec* FindCommand(const std::string& name) {
    for (const CommandSpec& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

bool Has(const std::vector<std::string>& list, const std::string& name) {
    for (const std::string& n : list)
        if (n == name) return true;
    return false;
}

// An option: the commands that take it, whether it takes a value (and what the value is
// called in messages), and what it does to the options. A handler returns what is wrong
// with the value, or nothing.
// Whether an option takes a value: none, one, or one behind '=' only (--repeat=auto).
enum Takes : std::uint8_t { No, Yes, Optional };

struct OptionSpec {
    const char* name;
    std::vector<std::string> commands;
    Takes takesValue;
    std::function<std::string(Options&, const std::string&)> apply;
};

const std::vector<std::string> kPortCommands = {"write", "monitor", "ram-write", "reset", "info"};

bool Number(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0';
}

// The rates from 9600 bit/s up that the chip makes from its clock.
std::string RatesTheChipMakes() {
    std::string list;
    for (std::uint32_t r : {9600u, 19200u, 31250u, 38400u, 57600u, 62500u, 76800u, 125000u, 156250u, 208333u,
                            312500u, 625000u})
        if (ChipCanMakeBitRate(r)) list += (list.empty() ? "" : ", ") + std::to_string(r);
    return list;
}

std::string BitRate(Options& o, const std::string& v) {
    char* end = nullptr;
    const unsigned long rate = std::strtoul(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || v[0] == '-' || v[0] == '+') return "--bit-rate '" + v + "' is not a number";
    if (rate == 0 || rate > 10'000'000) return "--bit-rate " + v + " is out of range (bit/s, up to 10000000)";
    if (!ChipCanMakeBitRate(static_cast<std::uint32_t>(rate))) {
        const auto error = BitRateError(static_cast<std::uint32_t>(rate));
        char why[80] = "out of its range";
        if (error) std::snprintf(why, sizeof why, "%+.1f %% off", *error * 100);
        return "--bit-rate " + v + ": the chip cannot make it from its 20 MHz clock (" + why + "); it makes " +
               RatesTheChipMakes();
    }
    o.bitRate = static_cast<std::uint32_t>(rate);
    return {};
}

std::string Timeout(Options& o, const std::string& v) {
    double s = 0;
    if (!Number(v, s)) return "--timeout '" + v + "' is not a number of seconds";
    if (s < 0 || s >= 1e7) return "--timeout " + v + " is out of range (0 to 9999999 seconds)";
    o.timeout = s;
    return {};
}

// A switch that sets its flag.
std::function<std::string(Options&, const std::string&)> Switch(bool Options::*flag) {
    return [flag](Options& o, const std::string&) {
        o.*flag = true;
        return std::string();
    };
}

// An option whose value is kept as it stands.
template <typename Field>
std::function<std::string(Options&, const std::string&)> Text(Field Options::*field) {
    return [field](Options& o, const std::string& v) {
        o.*field = v;
        return std::string();
    };
}

const std::vector<OptionSpec>& OptionTable() {
    static const std::vector<OptionSpec> table = {
        {"--port", kPortCommands, Yes,
         [](Options& o, const std::string& v) {
             // Several boards: the option again, or a comma list.
             for (std::size_t from = 0;;) {
                 const std::size_t comma = v.find(',', from);
                 const std::string name = v.substr(from, comma - from);
                 if (name.empty()) return "--port '" + v + "' names an empty port";
                 o.ports.push_back(name);
                 if (comma == std::string::npos) return std::string();
                 from = comma + 1;
             }
         }},
        {"--quiet", {"write", "check", "monitor", "ram-write", "reset", "info"}, No, Switch(&Options::quiet)},
        {"--skip-blank", {"write"}, No, Switch(&Options::skipBlank)},
        {"--lenient", {"write", "check", "ram-write"}, No, Switch(&Options::lenient)},
        {"--ignore-checksums", {"write", "check"}, No, Switch(&Options::ignoreChecksums)},
        {"--verify", {"write"}, Yes,
         [](Options& o, const std::string& v) {
             if (v != "sum" && v != "read") return "--verify takes sum or read, not '" + v + "'";
             o.verify = v == "sum" ? Verify::Sum : Verify::Read;
             return std::string();
         }},
        {"--no-verify", {"write"}, No,
         [](Options& o, const std::string&) {
             o.verify = Verify::None;
             return std::string();
         }},
        {"--bit-rate", {"write", "check"}, Yes, BitRate},
        {"--format", {"write", "check"}, Yes,
         [](Options& o, const std::string& v) {
             o.format = FormatNamed(v);
             return o.format ? std::string() : "--format takes srec, ihex or binary, not '" + v + "'";
         }},
        {"--log", {"write"}, Yes, Text(&Options::log)},
        {"--serial", {"write", "check"}, Yes,
         [](Options& o, const std::string& v) {
             SerialStamp stamp;
             if (std::string why = ParseSerialStamp(v, stamp); !why.empty()) return why;
             o.serial = stamp;
             return std::string();
         }},
        {"--serial-next", {"write", "check"}, Yes, Text(&Options::serialNext)},
        {"--repeat", {"write"}, Optional,
         [](Options& o, const std::string& v) {
             if (v.empty()) o.repeat = Options::Repeat::Key;
             else if (v == "auto") o.repeat = Options::Repeat::Auto;
             else return "--repeat takes no value or =auto, not '" + v + "'";
             return std::string();
         }},
        {"--out", {"check"}, Yes, Text(&Options::out)},
        {"--json", {"info"}, No, Switch(&Options::json)},
        {"--trace", kPortCommands, Yes, Text(&Options::trace)},
        {"--retries", {"write"}, Yes,
         [](Options& o, const std::string& v) {
             char* end = nullptr;
             const unsigned long n = std::strtoul(v.c_str(), &end, 10);
             if (v.empty() || *end != '\0' || v[0] == '-' || v[0] == '+' || n > 100)
                 return "--retries takes a number from 0 to 100, not '" + v + "'";
             o.retries = static_cast<unsigned>(n);
             return std::string();
         }},
        {"--no-reset", {"monitor"}, No, Switch(&Options::noReset)},
        {"--monitor", {"ram-write"}, No, Switch(&Options::monitor)},
        {"--timeout", {"monitor", "ram-write"}, Yes, Timeout},
        {"--expect", {"monitor", "ram-write"}, Yes, Text(&Options::expect)},
    };
    return table;
}

const OptionSpec* FindOption(const std::string& name) {
    for (const OptionSpec& o : OptionTable())
        if (name == o.name) return &o;
    return nullptr;
}

bool IsHelp(const std::string& a) { return a == "--help" || a == "-h"; }

// An option word: "--x", "--x=v" and "-h"; "-" alone is standard input.
bool IsOption(const std::string& a) { return a.size() > 1 && a[0] == '-'; }
// What is never taken for an option's value: the next option ("-1" is a value).
bool TakenForOption(const std::string& a) { return a.rfind("--", 0) == 0 || a == "-h"; }

class Parser {
public:
    explicit Parser(const std::vector<std::string>& argv) : args_(argv.begin() + (argv.empty() ? 0 : 1), argv.end()) {}

    Invocation Run() {
        // The command: the first word that is neither an option nor an option's value.
        std::size_t at = 0;
        for (; at < args_.size() && IsOption(args_[at]) && args_[at] != "--"; ++at) {
            const std::string& a = args_[at];
            if (a == "--version") return Action(Invocation::Action::Version);
            if (IsHelp(a)) return Action(Invocation::Action::Help);
            const OptionSpec* spec = FindOption(a);
            if (spec && spec->takesValue == Yes && at + 1 < args_.size() && !TakenForOption(args_[at + 1])) ++at;
        }
        if (at < args_.size() && args_[at] == "--") return Refuse("no command given");
        if (at == args_.size()) return Refuse("no command given");
        inv_.command = args_[at];
        command_ = FindCommand(inv_.command);
        if (!command_) {
            const std::string named = inv_.command;
            inv_.command.clear();
            return Refuse("no command '" + named + "'");
        }
        std::vector<std::string> words(args_.begin(), args_.begin() + static_cast<std::ptrdiff_t>(at));
        words.insert(words.end(), args_.begin() + static_cast<std::ptrdiff_t>(at) + 1, args_.end());
        if (!Words(words)) return inv_;
        if (!Complete()) return inv_;
        return inv_;
    }

private:
    Invocation Action(Invocation::Action a) {
        inv_.action = a;
        return inv_;
    }
    Invocation Refuse(std::string why) {
        inv_.action = Invocation::Action::Refused;
        inv_.error = std::move(why);
        return inv_;
    }
    bool Fail(std::string why) {
        Refuse(std::move(why));
        return false;
    }

    bool Words(const std::vector<std::string>& words) {
        bool operandsOnly = false;
        for (std::size_t i = 0; i < words.size(); ++i) {
            const std::string& a = words[i];
            if (!operandsOnly && a == "--") {
                operandsOnly = true;
                continue;
            }
            if (operandsOnly || !IsOption(a)) {
                if (!Operand(a)) return false;
                continue;
            }
            if (IsHelp(a)) return Action(Invocation::Action::Help), false;
            if (a == "--version") return Action(Invocation::Action::Version), false;
            const auto eq = a.find('=');
            const std::string name = a.substr(0, eq);
            const OptionSpec* spec = FindOption(name);
            if (!spec) return Fail(inv_.command + ": unknown option '" + name + "'");
            if (!Has(spec->commands, inv_.command))
                return Fail(inv_.command + " does not take " + name + " (it goes with " + Join(spec->commands) + ")");
            std::string value;
            if (spec->takesValue == Optional) {
                if (eq != std::string::npos) value = a.substr(eq + 1);
            } else if (spec->takesValue == No) {
                if (eq != std::string::npos) return Fail(name + " takes no value");
            } else if (eq != std::string::npos) {
                value = a.substr(eq + 1);
                if (value.empty()) return Fail(name + " needs a value");
            } else {
                // Never the next option: "--expect --timeout 3" lacks its text.
                if (i + 1 >= words.size() || TakenForOption(words[i + 1]))
                    return Fail(name + " needs a value");
                value = words[++i];
            }
            if (!Given(name, value)) return false;
            if (const std::string why = spec->apply(inv_.options, value); !why.empty()) return Fail(why);
        }
        return true;
    }

    // The same option twice with another value, and options that say the opposite.
    bool Given(const std::string& name, const std::string& value) {
        const std::string key = name == "--no-verify" ? "--verify" : name;
        const std::string said = name == "--no-verify" ? "--no-verify" : value.empty() ? name : name + "=" + value;
        if (key == "--port") return true;  // one board each
        const auto before = given_.find(key);
        if (before != given_.end() && before->second != said)
            return Fail(before->second + " and " + said + " contradict each other");
        given_[key] = said;
        return true;
    }

    bool Operand(const std::string& a) {
        const bool takesFile = command_->traits & kFileTrait;
        if (!takesFile || haveFile_) return Fail(inv_.command + ": unexpected '" + a + "'");
        inv_.options.file = a;
        haveFile_ = true;
        return true;
    }

    bool Complete() {
        const Options& o = inv_.options;
        if ((command_->traits & kFileTrait) && !haveFile_) return Fail(inv_.command + ": no file given");
        if (inv_.command == "ram-write" && !o.monitor && (o.timeout || o.expect))
            return Fail("ram-write: --timeout and --expect go with --monitor");
        if (o.expect && o.expect->empty()) return Fail("--expect needs a text");
        if (o.serial && !o.serialNext && inv_.command == "write")
            return Fail("--serial needs --serial-next FILE, the file that holds the next number");
        if (o.serialNext && !o.serial) return Fail("--serial-next goes with --serial ADDR:FORMAT");
        if (o.repeat != Options::Repeat::Off && !o.file.empty() && o.file == "-")
            return Fail("--repeat writes FILE again and again: it cannot be standard input");
        if (o.ports.size() > 1 && inv_.command == "ram-write")
            return Fail("ram-write sends its file to one board: one --port");
        return true;
    }

    static std::string Join(const std::vector<std::string>& names) {
        std::string text;
        for (std::size_t i = 0; i < names.size(); ++i)
            text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
        return text;
    }

    std::vector<std::string> args_;
    Invocation inv_;
    const CommandSpec* command_ = nullptr;
    bool haveFile_ = false;
    std::map<std::string, std::string> given_;
};

std::string Statuses(const CommandSpec* command) {
    std::string text = "\nExit status\n";
    for (const StatusSpec& s : kStatuses) {
        if (command && s.traits != 0 && !(command->traits & s.traits)) continue;
        const char* meaning = s.meaning;
        if (command)
            if (const auto own = command->meanings.find(s.status); own != command->meanings.end()) meaning = own->second;
        char line[320];
        std::snprintf(line, sizeof line, "  %-4d %s\n", s.status, meaning);
        text += line;
    }
    return text;
}

}  // namespace

Invocation ParseArguments(const std::vector<std::string>& argv) { return Parser(argv).Run(); }

std::string HelpText(const std::string& command) {
    const CommandSpec* c = FindCommand(command);
    return std::string(c ? c->help : kOwnHelp) + Statuses(c);
}

std::string UsageText(const Invocation& invocation) {
    return "h8sx: " + invocation.error + "\nTry 'h8sx " + (invocation.command.empty() ? "" : invocation.command + " ") +
           "--help'.\n";
}

std::vector<std::string> OptionsOf(const std::string& command) {
    std::vector<std::string> names;
    for (const OptionSpec& o : OptionTable())
        if (Has(o.commands, command)) names.push_back(o.name);
    return names;
}

std::vector<std::string> CommandNames() {
    std::vector<std::string> names;
    for (const CommandSpec& c : kCommands) names.push_back(c.name);
    return names;
}

}  // namespace h8sx::cli
