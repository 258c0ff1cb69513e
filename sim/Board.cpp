#include "sim/Board.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace h8sx::sim {

namespace {

constexpr std::uint32_t kOwnProgramRate = 38400;
constexpr std::uint8_t kAck = 0x06;

// Shift-JIS, as the board's own program sends its Japanese.
const std::vector<std::uint8_t> kStartedSjis{0x89, 0xBC, 0x91, 0x7A, 0x83, 0x7B, 0x81,
                                             0x5B, 0x83, 0x68, 0x8B, 0x4E, 0x93, 0xAE};  // 仮想ボード起動
const std::vector<std::uint8_t> kLoadedSjis{0x83, 0x8D, 0x81, 0x5B, 0x83, 0x68, 0x8A, 0xAE, 0x97, 0xB9};  // ロード完了

std::uint8_t Sum(const std::vector<std::uint8_t>& bytes) {
    return static_cast<std::uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

// Appends the closing SUM of a boot-program answer.
std::vector<std::uint8_t> WithSum(std::vector<std::uint8_t> bytes) {
    bytes.push_back(static_cast<std::uint8_t>(0x100 - Sum(bytes)));
    return bytes;
}

std::uint32_t Be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void PutBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::string HexAddress(std::uint32_t a) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s = "0x";
    for (int shift = 20; shift >= 0; shift -= 4) s += kDigits[(a >> shift) & 15];
    return s;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The chip's peripheral clock in the boot program: the 10 MHz input times ratio 2.
constexpr double kPeripheralClock = 20e6;

// Command codes.
constexpr std::uint8_t kUserMatSelection = 0x43, kProgram = 0x50, kBlankCheck = 0x4D, kSumCheck = 0x4B,
                       kMemoryRead = 0x52, kStatusInquiry = 0x4F;

// The commands of the programming/erasure state that look at the flash.
bool VerifyCommand(std::uint8_t code) { return code == kBlankCheck || code == kSumCheck || code == kMemoryRead; }

// Whether a programming/erasure state command begins with this byte.
bool ProgrammingCommand(std::uint8_t code) {
    return code == kUserMatSelection || code == kProgram || code == kStatusInquiry || VerifyCommand(code);
}

// The flash's programming and erase times as the chip's electrical characteristics give
// them, in microseconds: typical and maximum.
struct FlashTimes {
    std::uint64_t program128, erase4k, erase32k, erase64k;
};
constexpr FlashTimes kTypicalTimes{1'000, 40'000, 300'000, 600'000};
constexpr FlashTimes kMaximumTimes{10'000, 130'000, 800'000, 1'500'000};

// The answers to the boot program status inquiry: where it stands.
constexpr std::uint8_t kAwaitDevice = 0x11, kAwaitClockMode = 0x12, kAwaitBitRate = 0x13,
                       kAwaitTransition = 0x1F, kErasing = 0x31, kAwaitSelection = 0x3F, kAwaitData = 0x4F;

std::string Millis(std::uint64_t micros) { return std::to_string(micros / 1000) + " ms"; }

}  // namespace

bool BoardCanMakeRate(std::uint32_t rate) {
    if (rate == 0) return false;
    const double ideal = kPeripheralClock / (32.0 * rate);
    const double n = std::round(ideal) - 1;
    if (n < 0 || n > 255) return false;
    const double error = kPeripheralClock / ((n + 1) * 32.0 * rate) - 1;
    return std::fabs(error) < 0.04;
}

const std::vector<std::pair<const char*, Stage>>& FaultStages() {
    static const std::vector<std::pair<const char*, Stage>> stages = {
        {"matching", Stage::Matching},
        {"match-confirm", Stage::MatchConfirm},
        {"device-inquiry", Stage::DeviceInquiry},
        {"device-selection", Stage::DeviceSelection},
        {"clock-mode-inquiry", Stage::ClockModeInquiry},
        {"clock-mode-selection", Stage::ClockModeSelection},
        {"ratio-inquiry", Stage::RatioInquiry},
        {"frequency-inquiry", Stage::FrequencyInquiry},
        {"new-bit-rate", Stage::NewBitRate},
        {"bit-rate-confirmation", Stage::BitRateConfirmation},
        {"erase", Stage::Erase},
        {"erase-failure", Stage::EraseFailure},
        {"user-mat", Stage::UserMat},
        {"end-of-programming", Stage::EndOfProgramming},
        {"end-of-programming-refused", Stage::EndOfProgrammingRefused},
    };
    return stages;
}

const std::vector<EraseBlock>& EraseBlocks() {
    static const std::vector<EraseBlock> blocks = [] {
        std::vector<EraseBlock> b;
        std::uint32_t at = 0;
        for (int i = 0; i < 8; ++i, at += 4 << 10) b.push_back({at, 4 << 10});
        b.push_back({at, 32 << 10});
        for (at += 32 << 10; at < kFlashSize; at += 64 << 10) b.push_back({at, 64 << 10});
        return b;
    }();
    return blocks;
}

namespace {
const FlashTimes* TimesOf(ChipTiming timing) {
    switch (timing) {
        case ChipTiming::Typical: return &kTypicalTimes;
        case ChipTiming::Maximum: return &kMaximumTimes;
        case ChipTiming::Off: break;
    }
    return nullptr;
}
}  // namespace

std::uint64_t ProgrammingMicros(ChipTiming timing) {
    const FlashTimes* t = TimesOf(timing);
    return t ? t->program128 : 0;
}

std::uint64_t EraseAllMicros(ChipTiming timing) {
    const FlashTimes* t = TimesOf(timing);
    if (!t) return 0;
    std::uint64_t sum = 0;
    for (const EraseBlock& b : EraseBlocks())
        sum += b.size == (4u << 10) ? t->erase4k : b.size == (32u << 10) ? t->erase32k : t->erase64k;
    return sum;
}

Board::Board(BoardOptions options)
    : options_(std::move(options)), blockIndex_(kFlashSize / 128, -1), flash_(kFlashSize, 0xFF) {
    const std::vector<std::uint8_t>& in = options_.initialFlash;
    std::copy_n(in.begin(), std::min(in.size(), kFlashSize), flash_.begin());
    // A block holding only 0xFF can be programmed as it stands; any other needs the erase.
    for (std::size_t at = 0; at < kFlashSize; at += 128)
        erased_.push_back(std::all_of(flash_.begin() + static_cast<std::ptrdiff_t>(at),
                                      flash_.begin() + static_cast<std::ptrdiff_t>(at + 128),
                                      [](std::uint8_t b) { return b == 0xFF; }));
}

bool Board::InBootProgram() const { return mode_ == Mode::Boot; }

void Board::Event(std::uint64_t now, std::string text) {
    Record(LogEntry{now, LogEntry::Event, 0, rate_, false, std::move(text)});
}

void Board::Record(LogEntry entry) {
    if (options_.onLog) options_.onLog(entry);
    if (options_.keepLog) log_.push_back(std::move(entry));
}

void Board::SetLines(bool dtr, bool rts, std::uint64_t now) {
    const bool released = dtr && !dtr_;
    if (dtr != dtr_ || rts != rts_)
        Event(now, std::string("DTR ") + (dtr ? "set" : "clear") + ", RTS " + (rts ? "set" : "clear"));
    dtr_ = dtr;
    rts_ = rts;
    linesSeen_ = true;
    if (mode_ == Mode::Away) return;
    if (!dtr) {
        if (mode_ != Mode::Reset) Event(now, "reset held");
        mode_ = Mode::Reset;
        outbox_.clear();
        busyUntil_.reset();
        quietUntil_.reset();
    } else if (released) {
        WriterRestarted(now);
        Start(rts, now);
    }
}

void Board::PortReopened(std::uint64_t now) {
    if (mode_ == Mode::Away) return;
    Event(now, "port opened: reset, start chosen by the first byte");
    WriterRestarted(now);
    mode_ = Mode::AwaitStart;
    rate_ = 0;
    outbox_.clear();
    busyUntil_.reset();
    quietUntil_.reset();
    if (options_.quietRestartMicros) quietUntil_ = now + options_.quietRestartMicros;
}

void Board::Start(bool ownProgram, std::uint64_t now) {
    command_.clear();
    busyUntil_.reset();
    quietUntil_.reset();
    zeroes_ = 0;
    line_.clear();
    deviceSelected_ = clockSelected_ = rateSelected_ = false;
    lastError_ = 0;
    programmingEnded_ = false;
    if (ownProgram) {
        mode_ = Mode::Own;
        rate_ = kOwnProgramRate;
        Event(now, "own program started");
        std::vector<std::uint8_t> banner;
        for (char c : std::string("H8SX1622 virtual board ")) banner.push_back(static_cast<std::uint8_t>(c));
        banner.insert(banner.end(), kStartedSjis.begin(), kStartedSjis.end());
        banner.push_back('\r');
        banner.push_back('\n');
        Send(banner, now);
    } else {
        mode_ = Mode::Boot;
        boot_ = Boot::Matching;
        rate_ = 0;  // measured from the matching bytes
        Event(now, "boot program started");
    }
}

void Board::Send(std::initializer_list<std::uint8_t> bytes, std::uint64_t now) {
    Send(std::vector<std::uint8_t>(bytes), now);
}

void Board::Send(const std::vector<std::uint8_t>& bytes, std::uint64_t now) {
    for (std::uint8_t b : bytes) {
        outbox_.push_back(Out{b, now, rate_});
        Record(LogEntry{now, LogEntry::BoardToHost, b, rate_, false, {}});
    }
}

void Board::SendAnswer(std::vector<std::uint8_t> bytes, std::uint64_t now) {
    bytes.insert(bytes.begin(), options_.strayBytes.begin(), options_.strayBytes.end());
    Send(bytes, now);
}

void Board::SendSized(std::uint8_t command, std::uint8_t code, const std::vector<std::uint8_t>& data,
                      std::size_t sizeWidth, std::uint64_t now) {
    std::size_t size = data.size();
    if (options_.wrongSizeAnswerTo == command) {
        ++size;
        Event(now, "the answer's size says one byte more than it carries");
    }
    std::vector<std::uint8_t> a{code};
    for (std::size_t i = sizeWidth; i-- > 0;) a.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    a.insert(a.end(), data.begin(), data.end());
    a = WithSum(std::move(a));
    if (options_.badSumAnswerTo == command) {
        ++a.back();
        Event(now, "the answer's SUM does not add up");
    }
    SendAnswer(std::move(a), now);
}

void Board::SendError(std::uint8_t command, std::uint8_t reason, std::uint64_t now) {
    lastError_ = reason;
    SendAnswer({static_cast<std::uint8_t>(command | 0x80), reason}, now);
}

void Board::Receive(std::uint8_t byte, std::uint32_t hostRate, std::uint64_t now) {
    const bool garbled = rate_ != 0 && !SameRate(hostRate, rate_);
    Record(LogEntry{now, LogEntry::HostToBoard, byte, hostRate, garbled, {}});
    quietUntil_.reset();
    switch (mode_) {
        case Mode::Reset:
            return;
        case Mode::Away:
            ++lostWhileAway_;
            return;
        case Mode::AwaitStart:
            Start(byte != 0x00, now);
            if (mode_ == Mode::Boot) BootByte(byte, hostRate, now);
            else OwnByte(byte, now);
            return;
        case Mode::Boot:
            if (busyUntil_) {
                // The boot program reads the line only between commands.
                ++lostWhileBusy_;
                return;
            }
            if (garbled) return;  // a byte at the wrong rate reads as noise
            BootByte(byte, hostRate, now);
            ArmQuiet(now);
            return;
        case Mode::Own:
            if (!garbled) OwnByte(byte, now);
            return;
    }
}

void Board::ArmQuiet(std::uint64_t now) {
    // Waiting for a selection after the end of programming: the writer's next command
    // comes at once, or the writer has restarted the board.
    if (options_.quietRestartMicros && mode_ == Mode::Boot && boot_ == Boot::Selection && programmingEnded_ &&
        command_.empty())
        quietUntil_ = now + options_.quietRestartMicros;
}

void Board::BootByte(std::uint8_t byte, std::uint32_t hostRate, std::uint64_t now) {
    switch (boot_) {
        case Boot::Matching:
            if (byte != 0x00 || options_.silentAt == Stage::Matching) return;
            if (++zeroes_ < options_.matchAfter) return;
            rate_ = hostRate;
            Event(now, "bit rate matched at " + std::to_string(rate_));
            Send({0x00}, now);
            boot_ = Boot::Confirm;
            return;
        case Boot::Confirm:
            if (byte != 0x55) return;  // late matching bytes
            if (options_.silentAt == Stage::MatchConfirm) {
                Send({0xFF}, now);
                return;
            }
            Send({0xE6}, now);
            boot_ = Boot::Inquiry;
            return;
        case Boot::AwaitRateConfirm:
            if (byte != kAck || options_.silentAt == Stage::BitRateConfirmation) return;
            Event(now, "new bit rate confirmed at " + std::to_string(rate_));
            SendAnswer({kAck}, now);
            rateSelected_ = true;
            boot_ = Boot::Inquiry;
            return;
        case Boot::Selection:
        case Boot::ProgramData:
            if (options_.restartOnForeignByte && command_.empty() && !ProgrammingCommand(byte)) {
                Event(now, "a byte no programming command begins with: taken as a restart");
                WriterRestarted(now);
                Start(byte != 0x00, now);
                if (mode_ == Mode::Boot) BootByte(byte, hostRate, now);
                else OwnByte(byte, now);
                return;
            }
            [[fallthrough]];
        case Boot::Inquiry:
            command_.push_back(byte);
            if (command_.size() >= CommandLength(command_)) {
                std::vector<std::uint8_t> cmd;
                cmd.swap(command_);
                BootCommand(cmd, now);
            }
            return;
        case Boot::Erasing:
        case Boot::Programming:
        case Boot::Dead:
            return;
    }
}

std::size_t Board::CommandLength(const std::vector<std::uint8_t>& cmd) const {
    switch (cmd[0]) {
        case 0x10:
        case 0x11:
        case 0x3F:
        case kMemoryRead:
            return cmd.size() < 2 ? 2 : std::size_t{cmd[1]} + 3;
        case kProgram:
            if (cmd.size() < 5) return 5;
            return (cmd[1] & cmd[2] & cmd[3] & cmd[4]) == 0xFF ? 6 : 134;
        default:
            return 1;
    }
}

bool Board::TakesNow(std::uint8_t code) const {
    if (options_.notTaken == code) return false;
    switch (boot_) {
        case Boot::Inquiry:
            return (code >= 0x20 && code <= 0x27) || code == 0x10 || code == 0x11 || code == kStatusInquiry ||
                   code == 0x3F || code == 0x40;
        case Boot::Selection:
            if (VerifyCommand(code)) return !options_.refuseVerifyCommands;
            return code == kUserMatSelection || code == kStatusInquiry;
        case Boot::ProgramData:
            return code == kProgram || code == kStatusInquiry;
        default:
            return false;
    }
}

std::uint8_t Board::Status() const {
    switch (boot_) {
        case Boot::Selection: return kAwaitSelection;
        case Boot::ProgramData: return kAwaitData;
        case Boot::Erasing: return kErasing;
        default:
            if (rateSelected_) return kAwaitTransition;
            if (clockSelected_) return kAwaitBitRate;
            return deviceSelected_ ? kAwaitClockMode : kAwaitDevice;
    }
}

void Board::Inquiry(std::uint8_t code, std::uint64_t now) {
    std::vector<std::uint8_t> data;
    std::size_t sizeWidth = 1;
    switch (code) {
        case 0x20: {  // supported device inquiry
            if (options_.silentAt == Stage::DeviceInquiry) return;
            const std::string name = kProductName;
            data = {0x01, static_cast<std::uint8_t>(4 + name.size())};
            PutBe32(data, options_.wrongDeviceCode ? 0x00000008 : kDeviceCode);
            data.insert(data.end(), name.begin(), name.end());
            if (options_.shortDeviceAnswer) {
                std::vector<std::uint8_t> a{0x30, static_cast<std::uint8_t>(data.size())};
                a.insert(a.end(), data.begin(), data.end());
                a = WithSum(std::move(a));
                a.resize(16);
                return SendAnswer(a, now);
            }
            break;
        }
        case 0x21:  // clock mode inquiry: one mode, 0
            if (options_.silentAt == Stage::ClockModeInquiry) return;
            data = {0x01, 0x00};
            break;
        case 0x22:  // multiplication ratios: two clock types, x4 and x2 each
            if (options_.silentAt == Stage::RatioInquiry) return;
            data = {0x02, 0x02, 0x04, 0x02, 0x02, 0x04, 0x02};
            break;
        case 0x23:  // operating frequencies in 0.01 MHz: 20.00..50.00 and 10.00..25.00
            if (options_.silentAt == Stage::FrequencyInquiry) return;
            data = {0x02, 0x07, 0xD0, 0x13, 0x88, 0x03, 0xE8, 0x09, 0xC4};
            break;
        case 0x24:  // the user boot MAT: one area from address 0
            data = {0x01};
            PutBe32(data, 0);
            PutBe32(data, kUserBootMatSize - 1);
            break;
        case 0x25:  // the user MAT: one area, the 1 MiB from address 0
            data = {0x01};
            PutBe32(data, 0);
            PutBe32(data, kFlashSize - 1);
            break;
        case 0x26:  // the erase blocks, with a size of two bytes
            data = {static_cast<std::uint8_t>(EraseBlocks().size())};
            for (const EraseBlock& b : EraseBlocks()) {
                PutBe32(data, b.start);
                PutBe32(data, b.start + b.size - 1);
            }
            sizeWidth = 2;
            break;
        case 0x27:  // the programming unit: 128 bytes
            data = {0x00, 0x80};
            break;
        case kStatusInquiry:
            data = {Status(), lastError_};
            break;
        default:
            return;
    }
    SendSized(code, static_cast<std::uint8_t>(code + 0x10), data, sizeWidth, now);
}

void Board::BootCommand(const std::vector<std::uint8_t>& cmd, std::uint64_t now) {
    const std::uint8_t code = cmd[0];
    if (!TakesNow(code)) {
        Event(now, "command not taken in this state");
        lastError_ = 0x80;
        return SendAnswer({0x80, code}, now);
    }
    if (cmd.size() > 1 && Sum(cmd) != 0) return SendError(code, 0x11, now);

    switch (code) {
        case 0x10:  // device selection
            if (options_.silentAt == Stage::DeviceSelection) return;
            if (cmd[1] != 4 || Be32(&cmd[2]) != kDeviceCode) return SendError(code, 0x21, now);
            deviceSelected_ = true;
            return SendAnswer({kAck}, now);
        case 0x11:  // clock mode selection
            if (options_.silentAt == Stage::ClockModeSelection || cmd[1] != 1 || cmd[2] != 0)
                return SendError(code, 0x22, now);
            clockSelected_ = true;
            return SendAnswer({kAck}, now);
        case 0x3F:
            return NewBitRate(cmd, now);
        case 0x40:  // programming/erasure state: erase first
            if (options_.silentAt == Stage::EraseFailure) return SendError(code, 0x51, now);
            boot_ = Boot::Erasing;
            if (options_.silentAt == Stage::Erase) {
                Event(now, "erase hangs");
                return;
            }
            {
                const std::uint64_t erase =
                    options_.chipTiming == ChipTiming::Off ? options_.eraseMicros : EraseAllMicros(options_.chipTiming);
                Event(now, "erasing for " + Millis(erase));
                busyUntil_ = now + erase;
            }
            return;
        case kUserMatSelection:
            if (options_.silentAt == Stage::UserMat) return SendError(code, 0x54, now);
            boot_ = Boot::ProgramData;
            programmingEnded_ = false;
            return SendAnswer({kAck}, now);
        case kProgram:
            return ProgramBlock(cmd, now);
        case kBlankCheck: {
            const bool blank =
                std::all_of(flash_.begin(), flash_.end(), [](std::uint8_t b) { return b == 0xFF; });
            Event(now, blank ? "user MAT blank" : "user MAT not blank");
            return blank ? SendAnswer({kAck}, now) : SendError(code, 0x52, now);
        }
        case kSumCheck: {
            std::vector<std::uint8_t> sum;
            PutBe32(sum, std::accumulate(flash_.begin(), flash_.end(), std::uint32_t{0}));
            return SendSized(code, 0x5B, sum, 1, now);
        }
        case kMemoryRead:
            return MemoryRead(cmd, now);
        default:
            return Inquiry(code, now);
    }
}

void Board::NewBitRate(const std::vector<std::uint8_t>& cmd, std::uint64_t now) {
    const auto error = [&](std::uint8_t reason) { SendError(0x3F, reason, now); };
    if (cmd[1] != 7) return error(0x24);
    // The rate in units of 100 bit/s, the input frequency in 0.01 MHz; checked as the chip
    // does: the input frequency, the ratios, then whether the rate can be made.
    const std::uint32_t rate = ((std::uint32_t{cmd[2]} << 8) | cmd[3]) * 100;
    const std::uint32_t input = (std::uint32_t{cmd[4]} << 8) | cmd[5];
    if (input != 1000) return error(0x25);
    if (cmd[6] != 2 || cmd[7] != 4 || cmd[8] != 2) return error(0x26);
    if (options_.silentAt == Stage::NewBitRate || !BoardCanMakeRate(rate)) return error(0x24);
    SendAnswer({kAck}, now);
    // The acknowledgement goes out at the old rate; then both sides change.
    rate_ = rate;
    Event(now, "bit rate changes to " + std::to_string(rate));
    boot_ = Boot::AwaitRateConfirm;
}

void Board::ProgramBlock(const std::vector<std::uint8_t>& cmd, std::uint64_t now) {
    const std::uint32_t address = Be32(&cmd[1]);
    if (address == 0xFFFFFFFF) {
        if (options_.silentAt == Stage::EndOfProgramming) return;
        if (options_.silentAt == Stage::EndOfProgrammingRefused) return SendError(kProgram, 0x53, now);
        Event(now, "end of programming after " + std::to_string(blocks_) + " blocks");
        SendAnswer({kAck}, now);
        boot_ = Boot::Selection;
        programmingEnded_ = written_ = true;
        if (options_.onFlashWritten) options_.onFlashWritten(flash_);
        return;
    }
    if (address % 128 != 0 || address >= kFlashSize) return SendError(kProgram, 0x2A, now);
    // Blocks are numbered in the order their addresses first come since the erase, so that
    // a block sent again is the same block.
    long& index = blockIndex_[address / 128];
    if (index < 0) index = blocks_++;
    const long block = index;
    if (block == options_.silentBlock) return;
    if (block == options_.sumErrorBlock && sumErrorsSent_ < options_.sumErrorTimes) {
        ++sumErrorsSent_;
        Event(now, "block " + std::to_string(block) + ": the board's sum failed, nothing programmed");
        return SendError(kProgram, 0x11, now);
    }
    const bool garble = block == options_.garbledBlock && !garbledSent_;
    if (garble && !options_.garbledBlockProgrammed) {
        garbledSent_ = true;
        Event(now, "block " + std::to_string(block) + " arrived damaged: nothing programmed, the answer garbled");
        return SendAnswer({kGarbledAnswer}, now);
    }
    if (!erased_[address / 128]) {
        programmedTwice_.push_back(address);
        Event(now, "programming refused at " + HexAddress(address) + ": programmed already since the erase");
        return SendError(kProgram, 0x53, now);
    }
    if (block == options_.refuseBlock) return SendError(kProgram, 0x53, now);
    std::copy(cmd.begin() + 5, cmd.begin() + 133, flash_.begin() + address);
    erased_[address / 128] = false;
    std::vector<std::uint8_t> answer{kAck};
    if (garble) {
        garbledSent_ = true;
        Event(now, "block " + std::to_string(block) + " programmed, its acknowledgement garbled");
        answer = {kGarbledAnswer};
    }
    if (block == options_.flipBitAfterBlock) {
        flash_[address + 127] ^= 0x01;
        Event(now, "bit 0 flipped at " + HexAddress(address + 127));
    }
    if (const std::uint64_t busy = ProgrammingMicros(options_.chipTiming)) {
        boot_ = Boot::Programming;
        busyUntil_ = now + busy;
        busyAnswer_ = answer;
        return;
    }
    SendAnswer(answer, now);
}

void Board::MemoryRead(const std::vector<std::uint8_t>& cmd, std::uint64_t now) {
    if (options_.memoryReadError) return SendError(kMemoryRead, *options_.memoryReadError, now);
    // 52 09 area(00: the user boot MAT, 01: the user MAT) address(4) size(4) SUM. The
    // user boot MAT is never programmed here: it reads erased.
    if (cmd[1] != 9 || cmd[2] > 0x01) return SendError(kMemoryRead, 0x2A, now);
    const std::size_t mat = cmd[2] == 0x01 ? kFlashSize : kUserBootMatSize;
    const std::uint32_t address = Be32(&cmd[3]), size = Be32(&cmd[7]);
    if (address >= mat) return SendError(kMemoryRead, 0x2A, now);
    if (std::uint64_t{address} + size > mat) return SendError(kMemoryRead, 0x2B, now);
    std::vector<std::uint8_t> data(size, 0xFF);
    if (cmd[2] == 0x01) std::copy_n(flash_.begin() + address, size, data.begin());
    SendSized(kMemoryRead, 0x52, data, 4, now);
}

void Board::FinishBusy(std::uint64_t at) {
    busyUntil_.reset();
    if (lostWhileBusy_) {
        Event(at, std::to_string(lostWhileBusy_) + " bytes lost: sent while the chip " +
                      (boot_ == Boot::Erasing ? "erased" : "programmed"));
        lostWhileBusy_ = 0;
    }
    if (boot_ == Boot::Programming) {
        boot_ = Boot::ProgramData;
        SendAnswer(busyAnswer_, at);
        return;
    }
    if (options_.noErase) {
        Event(at, "erase skipped: the flash keeps what it held");
    } else {
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        std::fill(erased_.begin(), erased_.end(), true);
        Event(at, "erased");
    }
    blocks_ = 0;
    std::fill(blockIndex_.begin(), blockIndex_.end(), -1);
    sumErrorsSent_ = 0;
    garbledSent_ = false;
    programmedTwice_.clear();
    SendAnswer({kAck}, at);
    boot_ = Boot::Selection;
}

void Board::QuietRestart(std::uint64_t at) {
    quietUntil_.reset();
    if (mode_ == Mode::AwaitStart) {
        Event(at, "nothing came for " + Millis(options_.quietRestartMicros) + " after the port was opened");
    } else {
        Event(at, "no command for " + Millis(options_.quietRestartMicros) +
                      " after the end of programming: taken as the writer's restart");
        WriterRestarted(at);
    }
    Start(true, at);
}

void Board::WriterRestarted(std::uint64_t now) {
    if (!written_ || !options_.swapMicros || awayAt_) return;
    awayAt_ = now + options_.swapAfterMicros;
    backAt_ = *awayAt_ + options_.swapMicros;
}

void Board::NewBoard(std::uint64_t at) {
    backAt_.reset();
    if (lostWhileAway_) Event(at, std::to_string(lostWhileAway_) + " bytes lost: no board in the fixture");
    lostWhileAway_ = lostWhileBusy_ = 0;
    std::fill(flash_.begin(), flash_.end(), 0xFF);
    std::fill(erased_.begin(), erased_.end(), true);
    blocks_ = 0;
    std::fill(blockIndex_.begin(), blockIndex_.end(), -1);
    sumErrorsSent_ = 0;
    garbledSent_ = false;
    written_ = false;
    programmedTwice_.clear();
    Event(at, "a new board in the fixture, its flash erased");
    // It powers up as the lines stand; without them the first byte (or the quiet) decides.
    if (linesSeen_) {
        mode_ = Mode::Reset;
        if (dtr_) Start(rts_, at);
    } else {
        mode_ = Mode::AwaitStart;
        rate_ = 0;
        if (options_.quietRestartMicros) quietUntil_ = at + options_.quietRestartMicros;
    }
}

void Board::Advance(std::uint64_t now) {
    for (std::optional<std::uint64_t> next; (next = NextEvent()) && *next <= now;) {
        const std::uint64_t at = *next;
        if (at == backAt_) {
            NewBoard(at);
        } else if (at == awayAt_) {
            awayAt_.reset();
            Event(at, "board taken from the fixture");
            mode_ = Mode::Away;
            outbox_.clear();
            busyUntil_.reset();
            quietUntil_.reset();
        } else if (at == busyUntil_) {
            FinishBusy(at);
            ArmQuiet(at);
        } else {
            QuietRestart(at);
        }
    }
}

std::optional<std::uint64_t> Board::NextEvent() const {
    std::optional<std::uint64_t> next;
    for (const std::optional<std::uint64_t>& t : {busyUntil_, quietUntil_, awayAt_, backAt_})
        if (t && (!next || *t < *next)) next = t;
    return next;
}

void Board::OwnByte(std::uint8_t byte, std::uint64_t now) {
    if (byte == '\n') return;  // a RAM write ends its lines in CR LF: the CR did the work
    if (byte != '\r') {
        Send({byte}, now);  // echo
        line_ += static_cast<char>(byte);
        return;
    }
    Send({'\r', '\n'}, now);
    // A RAM write: count the S-records until the "S7" that closes it.
    if (line_ == "S7") {
        std::string summary = "RAM: " + std::to_string(ramRecords_) + " records, " +
                              std::to_string(ramBytes_) + " bytes ";
        std::vector<std::uint8_t> answer(summary.begin(), summary.end());
        answer.insert(answer.end(), kLoadedSjis.begin(), kLoadedSjis.end());
        answer.push_back('\r');
        answer.push_back('\n');
        Send(answer, now);
        ramRecords_ = ramBytes_ = 0;
    } else if (line_.size() >= 4 && line_[0] == 'S' && line_[1] >= '1' && line_[1] <= '3') {
        const int hi = HexValue(line_[2]), lo = HexValue(line_[3]);
        if (hi >= 0 && lo >= 0) {
            const int count = hi * 16 + lo;
            const int data = count - (line_[1] - '0' + 1) - 1;
            ++ramRecords_;
            if (data > 0) ramBytes_ += static_cast<std::uint32_t>(data);
        }
    }
    line_.clear();
}

}  // namespace h8sx::sim
