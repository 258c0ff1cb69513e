// The virtual board: an H8SX1622 whose ROM boot program answers the boot-mode command
// protocol, and whose own program (after a normal start) talks to the monitor.
//
// The board is a pure state machine in microseconds of its own clock: the transport (the
// in-process link of the tests, or the pseudo-terminal host of h8sx-sim) hands it each
// byte with the bit rate the host sent it at and the time it arrived, tells it about the
// modem lines or a reopen of the port, and collects what it sends. Pacing on the line is
// the transport's business.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace h8sx::sim {

// Stages of the boot program at which a fault can be injected.
enum class Stage {
    None,
    Matching,            // no 0x00 answer to the matching bytes
    MatchConfirm,        // 0xFF in place of 0xE6
    DeviceInquiry,       // silent after 0x20
    DeviceSelection,     // silent after 0x10
    ClockModeInquiry,    // silent after 0x21
    ClockModeSelection,  // refuses: 91 22
    RatioInquiry,        // silent after 0x22
    FrequencyInquiry,    // silent after 0x23
    NewBitRate,          // refuses: BF 24 (and keeps its rate)
    BitRateConfirmation, // silent at the new rate
    Erase,               // never answers 0x40
    EraseFailure,        // answers C0 51
    UserMat,             // refuses 0x43
    EndOfProgramming,    // silent after the end command
    EndOfProgrammingRefused,  // refuses the end command: D0 53
};

// Every stage but None, with its name on h8sx-sim's command line.
const std::vector<std::pair<const char*, Stage>>& FaultStages();

struct LogEntry;

struct BoardOptions {
    std::uint32_t eraseMicros = 1'500'000;   // how long the erase takes
    std::uint32_t matchAfter = 1;            // answer the n-th 0x00 of the matching
    Stage silentAt = Stage::None;            // a fault, see Stage
    bool shortDeviceAnswer = false;          // a 16-byte supported-device answer
    bool wrongDeviceCode = false;            // a code whose bytes do not add up to 0x09
    std::vector<std::uint8_t> strayBytes;    // sent ahead of every boot-program answer
    long refuseBlock = -1;                   // programming block n (0-based) answered D0 53
    long silentBlock = -1;                   // programming block n never answered
    // Once programming block n (0-based) has been programmed and acknowledged, the lowest
    // bit of that block's last byte flips in the flash: what only a verify can find.
    long flipBitAfterBlock = -1;
    bool noErase = false;                    // 40 is acknowledged, but the flash keeps what it held
    // A boot program without the user MAT blank check, the sum check and the memory read:
    // it answers each with 80 and the command byte.
    bool refuseVerifyCommands = false;
    // What the flash holds at power-on, from address 0 (the rest erased); at most 1 MiB.
    std::vector<std::uint8_t> initialFlash;
    // Called with the whole flash after every end of programming.
    std::function<void(const std::vector<std::uint8_t>&)> onFlashWritten;
    // Called with every line of the log as it is made; a long-running host that writes
    // them out as they come can turn keeping them off.
    std::function<void(const LogEntry&)> onLog;
    bool keepLog = true;
    // Without modem lines the board cannot see the writer's restart after a write: with
    // this set, a byte that no command of the programming state begins with, once the
    // flash has been erased, is taken as the sign of that restart and goes to the board's
    // own program.
    bool restartOnForeignByte = false;
};

// A line of the board's log: one byte in either direction, or an event.
struct LogEntry {
    std::uint64_t micros;
    enum Kind { HostToBoard, BoardToHost, Event } kind;
    std::uint8_t byte;
    std::uint32_t bitRate;  // the rate in force on that side
    bool garbled;           // host-to-board: sent at a rate the board was not listening at
    std::string text;       // events
};

inline constexpr std::size_t kFlashSize = 1 << 20;  // the user MAT, from address 0
inline constexpr std::uint32_t kDeviceCode = 0x00000009;  // bytes 00 00 00 09 add up to 9
inline constexpr const char* kProductName = "H8SX1622";

// Whether the boot program can make a bit rate (in bit/s, as the new bit rate selection
// carries it: a multiple of 100) from its 20 MHz peripheral clock: the bit rate register's
// N = round(20e6 / (32 B)) - 1 must lie in 0..255, and the rate N gives must be within 4 %.
bool BoardCanMakeRate(std::uint32_t rate);

// Whether a byte sent at `rate` is read right by a UART working at `uartRate`: a UART
// samples each bit near its middle, so rates within 1 % of each other agree.
inline bool SameRate(std::uint32_t rate, std::uint32_t uartRate) {
    const std::uint32_t apart = rate > uartRate ? rate - uartRate : uartRate - rate;
    return std::uint64_t{apart} * 100 <= uartRate;
}

class Board {
public:
    explicit Board(BoardOptions options = {});

    // Modem lines: DTR low holds reset; its release starts the boot program when RTS is
    // low, the board's own program when RTS is high.
    void SetLines(bool dtr, bool rts, std::uint64_t now);
    // A pseudo-terminal has no modem lines: a reopen counts as a reset, and the first
    // byte afterwards chooses the start (0x00: boot program, else the own program).
    void PortReopened(std::uint64_t now);

    // One byte from the host, sent at `hostRate`.
    void Receive(std::uint8_t byte, std::uint32_t hostRate, std::uint64_t now);
    // Lets timed work (the erase) finish.
    void Advance(std::uint64_t now);
    // The next time Advance has something to do, if any.
    std::optional<std::uint64_t> NextEvent() const;

    // Bytes the board has sent and the transport has not taken yet, with the time each
    // became ready, and the rate the board sends at.
    struct Out {
        std::uint8_t byte;
        std::uint64_t ready;
        std::uint32_t rate;
    };
    std::deque<Out>& Outbox() { return outbox_; }

    std::uint32_t BitRate() const { return rate_; }
    const std::vector<std::uint8_t>& Flash() const { return flash_; }
    const std::vector<LogEntry>& Log() const { return log_; }
    bool InBootProgram() const;
    bool InOwnProgram() const { return mode_ == Mode::Own; }
    BoardOptions& Options() { return options_; }

private:
    enum class Mode { Reset, AwaitStart, Boot, Own };
    // The boot program's states. The programming/erasure state has two: waiting for a
    // selection (after the erase, and after every end of programming), where the user MAT
    // programming selection, the blank check, the sum check and the memory read are
    // taken; and waiting for programming data, after the selection, up to its end.
    enum class Boot { Matching, Confirm, Inquiry, AwaitRateConfirm, Erasing, Selection, ProgramData, Dead };

    void Start(bool ownProgram, std::uint64_t now);
    void Send(std::initializer_list<std::uint8_t> bytes, std::uint64_t now);
    void Send(const std::vector<std::uint8_t>& bytes, std::uint64_t now);
    void SendAnswer(std::vector<std::uint8_t> bytes, std::uint64_t now);  // stray bytes first
    void Event(std::uint64_t now, std::string text);
    void Record(LogEntry entry);
    void BootByte(std::uint8_t byte, std::uint32_t hostRate, std::uint64_t now);
    void BootCommand(const std::vector<std::uint8_t>& cmd, std::uint64_t now);
    std::size_t CommandLength(const std::vector<std::uint8_t>& cmd) const;
    bool TakesNow(std::uint8_t code) const;
    void NewBitRate(const std::vector<std::uint8_t>& cmd, std::uint64_t now);
    void ProgramBlock(const std::vector<std::uint8_t>& cmd, std::uint64_t now);
    void MemoryRead(const std::vector<std::uint8_t>& cmd, std::uint64_t now);
    void OwnByte(std::uint8_t byte, std::uint64_t now);

    BoardOptions options_;
    Mode mode_ = Mode::Reset;
    Boot boot_ = Boot::Matching;
    bool dtr_ = false, rts_ = false;
    std::uint32_t rate_ = 0;          // 0: not yet matched
    std::uint32_t zeroes_ = 0;
    std::vector<std::uint8_t> command_;
    std::optional<std::uint64_t> eraseDone_;
    long blocks_ = 0;
    std::vector<std::uint8_t> flash_;
    std::vector<bool> erased_;
    std::deque<Out> outbox_;
    std::vector<LogEntry> log_;
    // The board's own program: the line being received, and what a RAM write brought.
    std::string line_;
    std::uint32_t ramRecords_ = 0, ramBytes_ = 0;
};

}  // namespace h8sx::sim
