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

// Command codes of the programming/erasure state.
constexpr std::uint8_t kUserMatSelection = 0x43, kProgram = 0x50, kBlankCheck = 0x4D, kSumCheck = 0x4B,
                       kMemoryRead = 0x52;

// The commands of the programming/erasure state that look at the flash.
bool VerifyCommand(std::uint8_t code) { return code == kBlankCheck || code == kSumCheck || code == kMemoryRead; }

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

Board::Board(BoardOptions options) : options_(std::move(options)), flash_(kFlashSize, 0xFF) {
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
    if (!dtr) {
        if (mode_ != Mode::Reset) Event(now, "reset held");
        mode_ = Mode::Reset;
        outbox_.clear();
    } else if (released) {
        Start(rts, now);
    }
}

void Board::PortReopened(std::uint64_t now) {
    Event(now, "port opened: reset, start chosen by the first byte");
    mode_ = Mode::AwaitStart;
    rate_ = 0;
    outbox_.clear();
}

void Board::Start(bool ownProgram, std::uint64_t now) {
    command_.clear();
    eraseDone_.reset();
    zeroes_ = 0;
    line_.clear();
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

void Board::Receive(std::uint8_t byte, std::uint32_t hostRate, std::uint64_t now) {
    const bool garbled = rate_ != 0 && !SameRate(hostRate, rate_);
    Record(LogEntry{now, LogEntry::HostToBoard, byte, hostRate, garbled, {}});
    switch (mode_) {
        case Mode::Reset:
            return;
        case Mode::AwaitStart:
            Start(byte != 0x00, now);
            if (mode_ == Mode::Boot) BootByte(byte, hostRate, now);
            else OwnByte(byte, now);
            return;
        case Mode::Boot:
            if (garbled) return;  // a byte at the wrong rate reads as noise
            BootByte(byte, hostRate, now);
            return;
        case Mode::Own:
            if (!garbled) OwnByte(byte, now);
            return;
    }
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
            boot_ = Boot::Inquiry;
            return;
        case Boot::Selection:
        case Boot::ProgramData:
            if (options_.restartOnForeignByte && command_.empty() && byte != kUserMatSelection &&
                byte != kProgram && !VerifyCommand(byte)) {
                Event(now, "a byte no programming command begins with: taken as a restart");
                Start(true, now);
                OwnByte(byte, now);
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
    switch (boot_) {
        case Boot::Inquiry:
            return code == 0x20 || code == 0x10 || code == 0x21 || code == 0x11 || code == 0x22 ||
                   code == 0x23 || code == 0x3F || code == 0x40;
        case Boot::Selection:
            if (VerifyCommand(code)) return !options_.refuseVerifyCommands;
            return code == kUserMatSelection;
        case Boot::ProgramData:
            return code == kProgram;
        default:
            return false;
    }
}

void Board::BootCommand(const std::vector<std::uint8_t>& cmd, std::uint64_t now) {
    const std::uint8_t code = cmd[0];
    if (!TakesNow(code)) {
        Event(now, "command not taken in this state");
        return SendAnswer({0x80, code}, now);
    }
    // Error answers: the command with bit 7 set, and the reason.
    const auto error = [&](std::uint8_t reason) {
        SendAnswer({static_cast<std::uint8_t>(code | 0x80), reason}, now);
    };
    if (cmd.size() > 1 && Sum(cmd) != 0) return error(0x11);

    switch (code) {
        case 0x20: {  // supported device inquiry
            if (options_.silentAt == Stage::DeviceInquiry) return;
            const std::uint32_t dc = options_.wrongDeviceCode ? 0x00000008 : kDeviceCode;
            const std::string name = kProductName;
            std::vector<std::uint8_t> a{0x30, 0, 0x01, static_cast<std::uint8_t>(4 + name.size())};
            PutBe32(a, dc);
            a.insert(a.end(), name.begin(), name.end());
            a[1] = static_cast<std::uint8_t>(a.size() - 2);
            a = WithSum(a);
            if (options_.shortDeviceAnswer) a.resize(16);
            return SendAnswer(a, now);
        }
        case 0x10:  // device selection
            if (options_.silentAt == Stage::DeviceSelection) return;
            if (cmd[1] != 4 || Be32(&cmd[2]) != kDeviceCode) return error(0x21);
            return SendAnswer({kAck}, now);
        case 0x21:  // clock mode inquiry: one mode, 0
            if (options_.silentAt == Stage::ClockModeInquiry) return;
            return SendAnswer(WithSum({0x31, 0x02, 0x01, 0x00}), now);
        case 0x11:  // clock mode selection
            if (options_.silentAt == Stage::ClockModeSelection || cmd[1] != 1 || cmd[2] != 0) return error(0x22);
            return SendAnswer({kAck}, now);
        case 0x22:  // multiplication ratios: two clock types, x4 and x2 each
            if (options_.silentAt == Stage::RatioInquiry) return;
            return SendAnswer(WithSum({0x32, 0x07, 0x02, 0x02, 0x04, 0x02, 0x02, 0x04, 0x02}), now);
        case 0x23:  // operating frequencies in 0.01 MHz: 20.00..50.00 and 10.00..25.00
            if (options_.silentAt == Stage::FrequencyInquiry) return;
            return SendAnswer(WithSum({0x33, 0x09, 0x02, 0x07, 0xD0, 0x13, 0x88, 0x03, 0xE8, 0x09, 0xC4}), now);
        case 0x3F:
            return NewBitRate(cmd, now);
        case 0x40:  // programming/erasure state: erase first
            if (options_.silentAt == Stage::EraseFailure) return SendAnswer({0xC0, 0x51}, now);
            boot_ = Boot::Erasing;
            if (options_.silentAt == Stage::Erase) {
                Event(now, "erase hangs");
                return;
            }
            Event(now, "erasing");
            eraseDone_ = now + options_.eraseMicros;
            return;
        case kUserMatSelection:
            if (options_.silentAt == Stage::UserMat) return error(0x54);
            boot_ = Boot::ProgramData;
            return SendAnswer({kAck}, now);
        case kProgram:
            return ProgramBlock(cmd, now);
        case kBlankCheck: {
            const bool blank =
                std::all_of(flash_.begin(), flash_.end(), [](std::uint8_t b) { return b == 0xFF; });
            Event(now, blank ? "user MAT blank" : "user MAT not blank");
            return blank ? SendAnswer({kAck}, now) : error(0x52);
        }
        case kSumCheck: {
            const std::uint32_t sum = std::accumulate(flash_.begin(), flash_.end(), std::uint32_t{0});
            std::vector<std::uint8_t> a{0x5B, 0x04};
            PutBe32(a, sum);
            return SendAnswer(WithSum(a), now);
        }
        case kMemoryRead:
            return MemoryRead(cmd, now);
        default:
            return;  // TakesNow knows no other
    }
}

void Board::NewBitRate(const std::vector<std::uint8_t>& cmd, std::uint64_t now) {
    const auto error = [&](std::uint8_t reason) { SendAnswer({0xBF, reason}, now); };
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
        if (options_.silentAt == Stage::EndOfProgrammingRefused) return SendAnswer({0xD0, 0x53}, now);
        Event(now, "end of programming after " + std::to_string(blocks_) + " blocks");
        SendAnswer({kAck}, now);
        boot_ = Boot::Selection;
        if (options_.onFlashWritten) options_.onFlashWritten(flash_);
        return;
    }
    const long block = blocks_++;
    if (block == options_.silentBlock) return;
    const auto refuse = [&](std::uint8_t reason) { SendAnswer({0xD0, reason}, now); };
    if (address % 128 != 0 || address >= kFlashSize) return refuse(0x2A);
    if (block == options_.refuseBlock || !erased_[address / 128]) return refuse(0x53);
    std::copy(cmd.begin() + 5, cmd.begin() + 133, flash_.begin() + address);
    erased_[address / 128] = false;
    SendAnswer({kAck}, now);
    if (block == options_.flipBitAfterBlock) {
        flash_[address + 127] ^= 0x01;
        Event(now, "bit 0 flipped at " + HexAddress(address + 127));
    }
}

void Board::MemoryRead(const std::vector<std::uint8_t>& cmd, std::uint64_t now) {
    const auto error = [&](std::uint8_t reason) { SendAnswer({0xD2, reason}, now); };
    // 52 09 area(01: the user MAT) address(4) size(4) SUM
    if (cmd[1] != 9 || cmd[2] != 0x01) return error(0x2A);
    const std::uint32_t address = Be32(&cmd[3]), size = Be32(&cmd[7]);
    if (address >= kFlashSize) return error(0x2A);
    if (std::uint64_t{address} + size > kFlashSize) return error(0x2B);
    std::vector<std::uint8_t> a{0x52};
    PutBe32(a, size);
    a.insert(a.end(), flash_.begin() + address, flash_.begin() + address + size);
    SendAnswer(WithSum(std::move(a)), now);
}

void Board::Advance(std::uint64_t now) {
    if (mode_ == Mode::Boot && boot_ == Boot::Erasing && eraseDone_ && now >= *eraseDone_) {
        const std::uint64_t at = *eraseDone_;
        eraseDone_.reset();
        if (options_.noErase) {
            Event(at, "erase skipped: the flash keeps what it held");
        } else {
            std::fill(flash_.begin(), flash_.end(), 0xFF);
            std::fill(erased_.begin(), erased_.end(), true);
            Event(at, "erased");
        }
        blocks_ = 0;
        SendAnswer({kAck}, at);
        boot_ = Boot::Selection;
    }
}

std::optional<std::uint64_t> Board::NextEvent() const {
    if (mode_ == Mode::Boot && boot_ == Boot::Erasing) return eraseDone_;
    return std::nullopt;
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
