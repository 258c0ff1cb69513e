// The boot program's command forms and the table of exchanges the writer has with it.
//
// Commands go out in three forms: a single command byte; a BootPacket (code, size n,
// n data bytes, checksum); and the 134-byte programming command (0x50, a 4-byte address,
// 128 data bytes, checksum). Wider values are sent most significant byte first. The
// checksum makes every byte of a command, itself included, add up to 0 modulo 256.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace h8sx {

namespace boot {
inline constexpr std::uint8_t kAck = 0x06;

// Bit-rate matching (single bytes, outside the framing).
inline constexpr std::uint8_t kMatchByte = 0x00;        // sent until the chip echoes 0x00
inline constexpr std::uint8_t kMatchConfirm = 0x55;     // answered by 0xE6
inline constexpr std::uint8_t kMatchConfirmed = 0xE6;

// Command codes.
inline constexpr std::uint8_t kSupportedDeviceInquiry = 0x20;
inline constexpr std::uint8_t kDeviceSelection = 0x10;
inline constexpr std::uint8_t kClockModeInquiry = 0x21;
inline constexpr std::uint8_t kClockModeSelection = 0x11;
inline constexpr std::uint8_t kRatioInquiry = 0x22;
inline constexpr std::uint8_t kFrequencyInquiry = 0x23;
inline constexpr std::uint8_t kUserBootMatInquiry = 0x24;
inline constexpr std::uint8_t kUserMatInquiry = 0x25;
inline constexpr std::uint8_t kEraseBlockInquiry = 0x26;
inline constexpr std::uint8_t kProgrammingUnitInquiry = 0x27;
// Taken in both states, the programming/erasure state too.
inline constexpr std::uint8_t kBootStatusInquiry = 0x4F;
inline constexpr std::uint8_t kNewBitRate = 0x3F;
inline constexpr std::uint8_t kProgrammingState = 0x40;  // erases the user flash first
inline constexpr std::uint8_t kUserMatSelection = 0x43;
inline constexpr std::uint8_t kProgram128 = 0x50;
// Taken in the programming/erasure state: after the erase has been acknowledged, and
// after every end of programming.
inline constexpr std::uint8_t kBlankCheck = 0x4D;  // 06 when the whole user MAT is 0xFF
inline constexpr std::uint8_t kSumCheck = 0x4B;    // 5B 04 sum(4) SUM: every byte of the user MAT added
inline constexpr std::uint8_t kMemoryRead = 0x52;  // 52 09 01 address(4) size(4) SUM
inline constexpr std::uint8_t kSumCheckAnswer = 0x5B;
inline constexpr std::uint8_t kUserMatArea = 0x01;  // the memory read's area code of the user MAT
// A command the boot program cannot take in its present state is answered with this byte
// and the command's; an error answer is the command byte with this bit set, and a code.
inline constexpr std::uint8_t kCommandRefused = 0x80;
inline constexpr std::uint8_t kErrorBit = 0x80;
inline constexpr std::uint8_t kBlankCheckFailed = 0x52;  // CD 52: erasure not complete

// First bytes of the inquiry answers.
inline constexpr std::uint8_t kDeviceAnswer = 0x30;
inline constexpr std::uint8_t kClockModeAnswer = 0x31;
inline constexpr std::uint8_t kRatioAnswer = 0x32;
inline constexpr std::uint8_t kFrequencyAnswer = 0x33;
inline constexpr std::uint8_t kUserBootMatAnswer = 0x34;
inline constexpr std::uint8_t kUserMatAnswer = 0x35;
inline constexpr std::uint8_t kEraseBlockAnswer = 0x36;
inline constexpr std::uint8_t kProgrammingUnitAnswer = 0x37;
inline constexpr std::uint8_t kBootStatusAnswer = 0x5F;

// The device selection of the one device this writer serves sums to this checksum,
// which holds exactly when the four code bytes add up to 0x09.
inline constexpr std::uint8_t kDeviceSelectionChecksum = 0xE3;

// The board's clock as the new bit rate selection states it: a 10.00 MHz input (in
// 0.01 MHz) and the multiplication ratios of its two clock types, x4 (system) and x2
// (peripheral).
inline constexpr std::uint16_t kInputFrequency = 1000;
inline constexpr std::uint8_t kSystemClockRatio = 4;
inline constexpr std::uint8_t kPeripheralClockRatio = 2;

inline constexpr std::size_t kBlockSize = 128;
inline constexpr std::size_t kProgramCommandLength = 1 + 4 + kBlockSize + 1;
inline constexpr std::uint32_t kEndOfProgrammingAddress = 0xFFFFFFFF;
}  // namespace boot

// What an error code of the boot program means (its error answers are the command byte
// with bit 7 set, then the code); nullptr for a code it does not give.
const char* ErrorCodeMeaning(std::uint8_t code);

// The whole length of an inquiry's answer, from its first bytes: the answer code, its size,
// the data and the checksum (the erase block answer, 36, has a 2-byte size). Nothing while
// its size has not come.
std::optional<std::size_t> AnswerLength(std::span<const std::uint8_t> answer);

// Two's complement of the 8-bit sum of the first `count` bytes.
std::uint8_t BootChecksum(const std::uint8_t* bytes, std::size_t count);

// A BootPacket: code, size, data, checksum.
std::vector<std::uint8_t> BootPacket(std::uint8_t code, std::span<const std::uint8_t> data);

// The programming command for one 128-byte block at `address`.
std::array<std::uint8_t, boot::kProgramCommandLength> ProgramCommand(std::uint32_t address,
                                                                     std::span<const std::uint8_t, boot::kBlockSize> data);
// Programming commands a write of an image of `length` bytes sends: the last block runs on
// into the tail behind the image.
constexpr std::uint32_t BlockCount(std::uint32_t length) {
    return static_cast<std::uint32_t>((std::uint64_t{length} + boot::kBlockSize - 1) / boot::kBlockSize);
}
// A block of nothing but 0xFF: what the erase left, so it may stay unprogrammed.
bool IsBlankBlock(std::span<const std::uint8_t, boot::kBlockSize> block);

// The end of programming: the programming command's code with the address FF FF FF FF
// and no data.
std::array<std::uint8_t, 6> EndOfProgrammingCommand();

// The new bit rate selection for `bitRate` (sent in units of 100 bit/s) with the board's
// clock: 3F 07 rate(2) input(2) 02 x4 x2 SUM.
std::array<std::uint8_t, 10> NewBitRateCommand(std::uint32_t bitRate);

// How far the rate the chip makes for `bitRate` (as the new bit rate selection carries
// it, in whole 100 bit/s) lies from it, as a fraction: the chip divides its 20 MHz
// peripheral clock by 32 (N + 1), N = round(20e6 / (32 B)) - 1 from 0 to 255. Nothing when
// no N serves. The chip refuses a rate whose error is 4 % or more (BF 24).
std::optional<double> BitRateError(std::uint32_t bitRate);
bool ChipCanMakeBitRate(std::uint32_t bitRate);

// The memory read of `size` bytes of the user MAT from `address`.
std::array<std::uint8_t, 12> MemoryReadCommand(std::uint32_t address, std::uint32_t size);

class ComLink;
// Purges what has been received, then writes the whole command at once: stray or late
// answers of an earlier exchange never satisfy the wait that follows. `what` names the
// exchange for a trace.
void SendBootPacket(ComLink& link, const std::uint8_t* bytes, std::size_t length, const char* what = nullptr);

// One exchange of the boot-mode dialogue: what is sent, an optional pause before the port
// is looked at, how long the answer is awaited, how many bytes must wait before a read,
// and the byte awaited (none: any read counts).
struct BootExchange {
    const char* name;
    std::array<std::uint8_t, 10> command;
    std::size_t length;
    std::int32_t pauseTicks;
    std::int32_t ticks;
    std::uint32_t threshold;
    std::optional<std::uint8_t> awaited;
};

namespace exchange {
using namespace boot;
// clang-format off
//                                   name                          command                                                      len pause ticks thr  awaited
inline constexpr BootExchange SupportedDeviceInquiry{"supported device inquiry", {kSupportedDeviceInquiry},                 1, 0, 10,  16, kDeviceAnswer};
// The four code bytes and the checksum are filled in from the chip's answer.
inline constexpr BootExchange DeviceSelection{      "device selection",       {kDeviceSelection, 0x04},                    7, 0, 10,   0, kAck};
inline constexpr BootExchange ClockModeInquiry{     "clock mode inquiry",     {kClockModeInquiry},                         1, 0, 10,   2, kClockModeAnswer};
inline constexpr BootExchange ClockModeSelection{   "clock mode selection",   {kClockModeSelection, 0x01, 0x00, 0xEE},     4, 0, 10,   0, kAck};
inline constexpr BootExchange RatioInquiry{         "multiplication ratio inquiry", {kRatioInquiry},                       1, 0, 10,   9, kRatioAnswer};
inline constexpr BootExchange FrequencyInquiry{     "operating frequency inquiry",  {kFrequencyInquiry},                   1, 0, 10,  11, kFrequencyAnswer};
// Asked by the command line alone, each answer read whole (its size says how long it is).
inline constexpr BootExchange UserBootMatInquiry{   "user boot MAT information inquiry", {kUserBootMatInquiry},            1, 0, 10,   0, kUserBootMatAnswer};
inline constexpr BootExchange UserMatInquiry{       "user MAT information inquiry", {kUserMatInquiry},                     1, 0, 10,   0, kUserMatAnswer};
inline constexpr BootExchange EraseBlockInquiry{    "erase block information inquiry", {kEraseBlockInquiry},               1, 0, 10,   0, kEraseBlockAnswer};
inline constexpr BootExchange ProgrammingUnitInquiry{"programming unit inquiry", {kProgrammingUnitInquiry},                1, 0, 10,   0, kProgrammingUnitAnswer};
inline constexpr BootExchange BootStatusInquiry{    "boot program status inquiry", {kBootStatusInquiry},                   1, 0, 10,   0, kBootStatusAnswer};
inline constexpr BootExchange NewBitRate{           "new bit rate selection", {kNewBitRate, 0x07, 0x01, 0x80, 0x03, 0xE8, 0x02, 0x04, 0x02, 0x46}, 10, 2, 10, 0, std::nullopt};
// Sent at the new rate.
inline constexpr BootExchange BitRateConfirmation{  "bit-rate confirmation",  {kAck},                                      1, 0, 10,   0, kAck};
inline constexpr BootExchange ProgrammingState{     "erase, the move to the programming/erasure state", {kProgrammingState}, 1, 0, 300, 0, kAck};
inline constexpr BootExchange UserMatSelection{     "user MAT programming selection", {kUserMatSelection},                 1, 0, 10,   0, kAck};
// clang-format on
}  // namespace exchange

}  // namespace h8sx
