#include "boot/BootProtocol.h"

#include <algorithm>
#include <cmath>

namespace h8sx {

const char* ErrorCodeMeaning(std::uint8_t code) {
    switch (code) {
        case 0x11: return "checksum error";
        case 0x21: return "device code error";
        case 0x22: return "clock mode error";
        case 0x24: return "bit rate selection error";
        case 0x25: return "input frequency error";
        case 0x26: return "multiplication ratio error";
        case 0x27: return "operating frequency error";
        case 0x29: return "block number error";
        case 0x2A: return "address error";
        case 0x2B: return "data length error";
        case 0x51: return "erase error";
        case 0x52: return "erase not complete";
        case 0x53: return "programming error";
        case 0x54: return "selection processing error";
        case 0x80: return "command error";
        case 0xFF: return "bit-rate matching confirmation error";
        default: return nullptr;
    }
}

std::optional<std::size_t> AnswerLength(std::span<const std::uint8_t> answer) {
    const std::size_t sizeBytes = !answer.empty() && answer[0] == boot::kEraseBlockAnswer ? 2 : 1;
    if (answer.size() < 1 + sizeBytes) return std::nullopt;
    std::size_t size = 0;
    for (std::size_t i = 1; i <= sizeBytes; ++i) size = size << 8 | answer[i];
    return 1 + sizeBytes + size + 1;
}

std::uint8_t BootChecksum(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return static_cast<std::uint8_t>(0x100 - sum);
}

bool IsBlankBlock(std::span<const std::uint8_t, boot::kBlockSize> block) {
    return std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0xFF; });
}

std::vector<std::uint8_t> BootPacket(std::uint8_t code, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> packet;
    packet.reserve(data.size() + 3);
    packet.push_back(code);
    packet.push_back(static_cast<std::uint8_t>(data.size()));
    packet.insert(packet.end(), data.begin(), data.end());
    packet.push_back(BootChecksum(packet.data(), packet.size()));
    return packet;
}

namespace {
void PutAddress(std::uint8_t* out, std::uint32_t address) {
    out[0] = static_cast<std::uint8_t>(address >> 24);
    out[1] = static_cast<std::uint8_t>(address >> 16);
    out[2] = static_cast<std::uint8_t>(address >> 8);
    out[3] = static_cast<std::uint8_t>(address);
}
}  // namespace

std::array<std::uint8_t, boot::kProgramCommandLength> ProgramCommand(
    std::uint32_t address, std::span<const std::uint8_t, boot::kBlockSize> data) {
    std::array<std::uint8_t, boot::kProgramCommandLength> cmd{};
    cmd[0] = boot::kProgram128;
    PutAddress(&cmd[1], address);
    std::copy(data.begin(), data.end(), cmd.begin() + 5);
    cmd.back() = BootChecksum(cmd.data(), cmd.size() - 1);
    return cmd;
}

std::array<std::uint8_t, 6> EndOfProgrammingCommand() {
    std::array<std::uint8_t, 6> cmd{};
    cmd[0] = boot::kProgram128;
    PutAddress(&cmd[1], boot::kEndOfProgrammingAddress);
    cmd[5] = BootChecksum(cmd.data(), 5);
    return cmd;
}

std::array<std::uint8_t, 10> NewBitRateCommand(std::uint32_t bitRate) {
    const std::uint32_t rate = bitRate / 100;
    std::array<std::uint8_t, 10> cmd{boot::kNewBitRate,
                                     0x07,
                                     static_cast<std::uint8_t>(rate >> 8),
                                     static_cast<std::uint8_t>(rate),
                                     static_cast<std::uint8_t>(boot::kInputFrequency >> 8),
                                     static_cast<std::uint8_t>(boot::kInputFrequency),
                                     0x02,
                                     boot::kSystemClockRatio,
                                     boot::kPeripheralClockRatio,
                                     0};
    cmd.back() = BootChecksum(cmd.data(), cmd.size() - 1);
    return cmd;
}

std::optional<double> BitRateError(std::uint32_t bitRate) {
    constexpr double kPeripheralClock = boot::kInputFrequency * 10'000.0 * boot::kPeripheralClockRatio;
    const double b = bitRate / 100 * 100.0;
    if (b <= 0) return std::nullopt;
    const double n = std::round(kPeripheralClock / (32 * b)) - 1;
    if (n < 0 || n > 255) return std::nullopt;
    return kPeripheralClock / ((n + 1) * 32 * b) - 1;
}

bool ChipCanMakeBitRate(std::uint32_t bitRate) {
    const std::optional<double> error = BitRateError(bitRate);
    return error && std::fabs(*error) < 0.04;
}

std::array<std::uint8_t, 12> MemoryReadCommand(std::uint32_t address, std::uint32_t size) {
    std::array<std::uint8_t, 12> cmd{boot::kMemoryRead, 0x09, boot::kUserMatArea};
    PutAddress(&cmd[3], address);
    PutAddress(&cmd[7], size);
    cmd.back() = BootChecksum(cmd.data(), cmd.size() - 1);
    return cmd;
}

}  // namespace h8sx
