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

// How long the flash takes to program and to erase: instantly (the tests' board), or as
// the chip's electrical characteristics give it, typical or maximum.
enum class ChipTiming { Off, Typical, Maximum };

struct BoardOptions {
    std::uint32_t eraseMicros = 1'500'000;   // how long the erase takes (without chip timing)
    ChipTiming chipTiming = ChipTiming::Off;  // with it: 128 bytes and each erase block take their time
    std::uint32_t matchAfter = 1;            // answer the n-th 0x00 of the matching
    Stage silentAt = Stage::None;            // a fault, see Stage
    bool shortDeviceAnswer = false;          // a 16-byte supported-device answer
    bool wrongDeviceCode = false;            // a code whose bytes do not add up to 0x09
    std::vector<std::uint8_t> strayBytes;    // sent ahead of every boot-program answer
    // Programming blocks are numbered from 0 in the order their addresses first come after
    // the erase: a block sent again keeps its number.
    long refuseBlock = -1;                   // programming block n (0-based) answered D0 53
    long silentBlock = -1;                   // programming block n never answered
    // Once programming block n (0-based) has been programmed and acknowledged, the lowest
    // bit of that block's last byte flips in the flash: what only a verify can find.
    long flipBitAfterBlock = -1;
    bool noErase = false;                    // 40 is acknowledged, but the flash keeps what it held
    // A boot program without the user MAT blank check, the sum check and the memory read:
    // it answers each with 80 and the command byte.
    bool refuseVerifyCommands = false;
    // Faults in the answers to one command (by its code): a size field one larger than the
    // data that follow it, or a SUM that does not add up.
    std::optional<std::uint8_t> wrongSizeAnswerTo, badSumAnswerTo;
    std::optional<std::uint8_t> notTaken;        // this command answered 80 and its code
    std::optional<std::uint8_t> memoryReadError;  // every memory read answered D2 and this code
    // Programming block n is answered D0 11 (its sum failed on the board: nothing
    // programmed) this many times before it is taken.
    long sumErrorBlock = -1;
    std::uint32_t sumErrorTimes = 1;
    // The first answer to programming block n arrives garbled (kGarbledAnswer): the block
    // was programmed, or (garbledBlockProgrammed false) the command arrived damaged and
    // nothing was programmed.
    long garbledBlock = -1;
    bool garbledBlockProgrammed = true;
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
    // flash has been erased, is taken as the sign of that restart: 0x00 restarts the boot
    // program (and is its first matching byte), any other byte goes to the board's own
    // program.
    bool restartOnForeignByte = false;
    // Without modem lines, also this long without a byte from the host (0: never) after
    // the port was opened, or after the end of programming, is taken as a restart into
    // the board's own program, which greets.
    std::uint64_t quietRestartMicros = 0;
    // After a write (the end of programming, then the writer's restart), the board is taken
    // from the fixture `swapAfterMicros` later and a new one (erased) is there `swapMicros`
    // after that; meanwhile nothing answers. 0: the board stays.
    std::uint64_t swapMicros = 0;
    std::uint64_t swapAfterMicros = 1'000'000;
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
inline constexpr std::size_t kUserBootMatSize = 16 << 10;  // the user boot MAT, also from address 0
inline constexpr std::uint32_t kDeviceCode = 0x00000009;  // bytes 00 00 00 09 add up to 9
inline constexpr const char* kProductName = "H8SX1622";
// The first byte of a garbled acknowledgement (fault garbledBlock): neither 06 nor the
// first byte of an error answer.
inline constexpr std::uint8_t kGarbledAnswer = 0xF9;

// The user MAT's erase blocks, as the erase block information inquiry gives them: eight
// of 4 KiB, one of 32 KiB, then 64 KiB blocks up to the end of the 1 MiB.
struct EraseBlock {
    std::uint32_t start, size;
};
const std::vector<EraseBlock>& EraseBlocks();

// How long the flash takes, per 128-byte programming unit and per erase of the whole user
// MAT (every erase block in turn), in microseconds; 0 without chip timing.
std::uint64_t ProgrammingMicros(ChipTiming timing);
std::uint64_t EraseAllMicros(ChipTiming timing);

// Whether the boot program can make a bit rate (in bit/s, as the new bit rate selection
// carries it: a multiple of 100) from its 20 MHz peripheral clock: the bit rate register's
// N = round(20e6 / (32 B)) - 1 must lie in 0..255, and the rate N gives must be within 4 %.
bool BoardCanMakeRate(std::uint32_t rate);

// How far apart a sender's and a receiver's rates may lie before the receiver misreads the
// byte: the SCI samples each bit in the middle of 16 clocks, and the last bit of a 10-bit
// frame (start, 8 data bits, stop) is still sampled inside its cell while the deviation F
// keeps (0.5 - 1/32) - 9.5 F above 0, that is F < 4.93 %.
inline constexpr double kReceiveMargin = (0.5 - 1.0 / 32) / 9.5;

// Whether a byte sent at `rate` is read right by a UART working at `uartRate`.
inline bool SameRate(std::uint32_t rate, std::uint32_t uartRate) {
    const std::uint32_t apart = rate > uartRate ? rate - uartRate : uartRate - rate;
    return apart <= kReceiveMargin * uartRate;
}

class Board {
public:
    explicit Board(BoardOptions options = {});

    // Modem lines: DTR low holds reset; its release starts the boot program when RTS is
    // low, the board's own program when RTS is high.
    void SetLines(bool dtr, bool rts, std::uint64_t now);
    // A pseudo-terminal has no modem lines: a reopen counts as a reset, and the first
    // byte afterwards chooses the start (0x00: boot program, else the own program), or
    // the quiet that follows it does (quietRestartMicros).
    void PortReopened(std::uint64_t now);

    // One byte from the host, sent at `hostRate`.
    void Receive(std::uint8_t byte, std::uint32_t hostRate, std::uint64_t now);
    // Lets timed work (the erase, programming, the rules of quiet, a swap) happen up to `now`.
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
    // The addresses of programming commands refused because their block had been
    // programmed already since the erase: a writer that programs a block twice.
    const std::vector<std::uint32_t>& ProgrammedTwice() const { return programmedTwice_; }
    bool InBootProgram() const;
    bool InOwnProgram() const { return mode_ == Mode::Own; }
    // Whether a board is in the fixture (not during a swap).
    bool Present() const { return mode_ != Mode::Away; }
    BoardOptions& Options() { return options_; }

private:
    enum class Mode { Reset, AwaitStart, Boot, Own, Away };
    // The boot program's states. The programming/erasure state has two: waiting for a
    // selection (after the erase, and after every end of programming), where the user MAT
    // programming selection, the blank check, the sum check and the memory read are
    // taken; and waiting for programming data, after the selection, up to its end. While
    // it erases or programs, it does not read the line.
    enum class Boot { Matching, Confirm, Inquiry, AwaitRateConfirm, Erasing, Selection, ProgramData, Programming, Dead };

    void Start(bool ownProgram, std::uint64_t now);
    void Send(std::initializer_list<std::uint8_t> bytes, std::uint64_t now);
    void Send(const std::vector<std::uint8_t>& bytes, std::uint64_t now);
    void SendAnswer(std::vector<std::uint8_t> bytes, std::uint64_t now);  // stray bytes first
    // An answer of the form code, size (`sizeWidth` bytes), data, SUM, to command `command`.
    void SendSized(std::uint8_t command, std::uint8_t code, const std::vector<std::uint8_t>& data,
                   std::size_t sizeWidth, std::uint64_t now);
    void SendError(std::uint8_t command, std::uint8_t reason, std::uint64_t now);
    void Event(std::uint64_t now, std::string text);
    void Record(LogEntry entry);
    void BootByte(std::uint8_t byte, std::uint32_t hostRate, std::uint64_t now);
    void BootCommand(const std::vector<std::uint8_t>& cmd, std::uint64_t now);
    void Inquiry(std::uint8_t code, std::uint64_t now);
    std::uint8_t Status() const;
    std::size_t CommandLength(const std::vector<std::uint8_t>& cmd) const;
    bool TakesNow(std::uint8_t code) const;
    void NewBitRate(const std::vector<std::uint8_t>& cmd, std::uint64_t now);
    void ProgramBlock(const std::vector<std::uint8_t>& cmd, std::uint64_t now);
    void MemoryRead(const std::vector<std::uint8_t>& cmd, std::uint64_t now);
    void OwnByte(std::uint8_t byte, std::uint64_t now);
    // Time passing: the end of a busy spell, the rules of quiet, the swap.
    void FinishBusy(std::uint64_t at);
    void QuietRestart(std::uint64_t at);
    void WriterRestarted(std::uint64_t now);
    void NewBoard(std::uint64_t at);
    void ArmQuiet(std::uint64_t now);

    BoardOptions options_;
    Mode mode_ = Mode::Reset;
    Boot boot_ = Boot::Matching;
    bool dtr_ = false, rts_ = false;
    bool linesSeen_ = false;          // modem lines are there (in-process), not a pseudo-terminal
    std::uint32_t rate_ = 0;          // 0: not yet matched
    std::uint32_t zeroes_ = 0;
    std::vector<std::uint8_t> command_;
    // Selections made in the inquiry/selection state, and the last error answer's code:
    // what the boot program status inquiry reports.
    bool deviceSelected_ = false, clockSelected_ = false, rateSelected_ = false;
    std::uint8_t lastError_ = 0;
    std::optional<std::uint64_t> busyUntil_;     // erasing or programming until then
    std::vector<std::uint8_t> busyAnswer_;       // sent when the programming is done
    std::uint32_t lostWhileBusy_ = 0;
    long blocks_ = 0;                 // blocks sent for programming since the erase
    std::vector<long> blockIndex_;    // each 128 bytes' block number, -1 before it is sent
    std::uint32_t sumErrorsSent_ = 0;
    bool garbledSent_ = false;
    bool programmingEnded_ = false;   // an end of programming, and no selection since
    bool written_ = false;            // a write has ended on this board
    std::optional<std::uint64_t> quietUntil_;  // the own program starts then, unless a byte comes
    std::optional<std::uint64_t> awayAt_, backAt_;  // the swap
    std::uint32_t lostWhileAway_ = 0;
    std::vector<std::uint8_t> flash_;
    std::vector<bool> erased_;
    std::vector<std::uint32_t> programmedTwice_;
    std::deque<Out> outbox_;
    std::vector<LogEntry> log_;
    // The board's own program: the line being received, and what a RAM write brought.
    std::string line_;
    std::uint32_t ramRecords_ = 0, ramBytes_ = 0;
};

}  // namespace h8sx::sim
