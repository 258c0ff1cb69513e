#include "boot/BootAnswers.h"

#include <algorithm>

#include "boot/BootProtocol.h"

namespace h8sx {

namespace {

std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// A count, then `count` entries of `width` bytes each: nothing when the data hold another number.
std::optional<std::size_t> Counted(std::span<const std::uint8_t> data, std::size_t width) {
    if (data.empty() || data.size() != 1 + std::size_t{data[0]} * width) return std::nullopt;
    return data[0];
}

// A count of areas, then each area's first and last address.
bool Areas(std::span<const std::uint8_t> data, std::optional<std::vector<FlashArea>>& out) {
    const auto n = Counted(data, 8);
    if (!n) return false;
    std::vector<FlashArea> areas;
    for (std::size_t i = 0; i < *n; ++i) {
        const FlashArea a{Be32(&data[1 + 8 * i]), Be32(&data[5 + 8 * i])};
        if (a.end < a.start) return false;
        areas.push_back(a);
    }
    out = std::move(areas);
    return true;
}

// 20: the number of devices, then for each: the number of characters (the code's 4 and the
// name's), the device code and the product name.
bool Devices(std::span<const std::uint8_t> data, BoardInfo& info) {
    if (data.empty() || data[0] == 0) return false;
    std::size_t at = 1;
    for (std::size_t d = 0; d < data[0]; ++d) {
        if (at >= data.size() || data[at] < 4 || at + 1 + data[at] > data.size()) return false;
        if (d == 0) {
            info.deviceCode = std::array<std::uint8_t, 4>{data[at + 1], data[at + 2], data[at + 3], data[at + 4]};
            info.productName.assign(data.begin() + static_cast<std::ptrdiff_t>(at + 5),
                                    data.begin() + static_cast<std::ptrdiff_t>(at + 1 + data[at]));
        }
        at += 1 + data[at];
    }
    return at == data.size();
}

bool ClockModes(std::span<const std::uint8_t> data, BoardInfo& info) {
    if (!Counted(data, 1)) return false;
    info.clockModes.emplace(data.begin() + 1, data.end());
    return true;
}

// 22: the number of clock types, then for each: the number of its ratios and the ratios.
bool Ratios(std::span<const std::uint8_t> data, BoardInfo& info) {
    if (data.empty()) return false;
    std::vector<std::vector<std::int8_t>> types;
    std::size_t at = 1;
    for (std::size_t t = 0; t < data[0]; ++t) {
        if (at >= data.size() || at + 1 + data[at] > data.size()) return false;
        std::vector<std::int8_t> ratios;
        for (std::size_t r = 0; r < data[at]; ++r) ratios.push_back(static_cast<std::int8_t>(data[at + 1 + r]));
        types.push_back(std::move(ratios));
        at += 1 + data[at];
    }
    if (at != data.size()) return false;
    info.ratios = std::move(types);
    return true;
}

bool Frequencies(std::span<const std::uint8_t> data, BoardInfo& info) {
    const auto n = Counted(data, 4);
    if (!n) return false;
    std::vector<BoardInfo::Range> ranges;
    for (std::size_t i = 0; i < *n; ++i) ranges.push_back({Be16(&data[1 + 4 * i]), Be16(&data[3 + 4 * i])});
    info.frequencies = std::move(ranges);
    return true;
}

bool UserBootMat(std::span<const std::uint8_t> data, BoardInfo& info) { return Areas(data, info.userBootMat); }
bool UserMat(std::span<const std::uint8_t> data, BoardInfo& info) { return Areas(data, info.userMat); }
bool EraseBlocks(std::span<const std::uint8_t> data, BoardInfo& info) { return Areas(data, info.eraseBlocks); }

bool ProgrammingUnit(std::span<const std::uint8_t> data, BoardInfo& info) {
    if (data.size() != 2) return false;
    info.programmingUnit = Be16(data.data());
    return true;
}

bool Status(std::span<const std::uint8_t> data, BoardInfo& info) {
    if (data.size() != 2) return false;
    info.status = data[0];
    info.error = data[1];
    return true;
}

// clang-format off
constexpr AnswerLayout kLayouts[] = {
    // command                         answer                   size bytes  data
    {boot::kSupportedDeviceInquiry,  boot::kDeviceAnswer,          1,        Devices},
    {boot::kClockModeInquiry,        boot::kClockModeAnswer,       1,        ClockModes},
    {boot::kRatioInquiry,            boot::kRatioAnswer,           1,        Ratios},
    {boot::kFrequencyInquiry,        boot::kFrequencyAnswer,       1,        Frequencies},
    {boot::kUserBootMatInquiry,      boot::kUserBootMatAnswer,     1,        UserBootMat},
    {boot::kUserMatInquiry,          boot::kUserMatAnswer,         1,        UserMat},
    {boot::kEraseBlockInquiry,       boot::kEraseBlockAnswer,      2,        EraseBlocks},
    {boot::kProgrammingUnitInquiry,  boot::kProgrammingUnitAnswer, 1,        ProgrammingUnit},
    {boot::kBootStatusInquiry,       boot::kBootStatusAnswer,      1,        Status},
};
// clang-format on

}  // namespace

const AnswerLayout* LayoutOf(std::uint8_t command) {
    for (const AnswerLayout& l : kLayouts)
        if (l.command == command) return &l;
    return nullptr;
}

AnswerCheck ReadAnswer(std::uint8_t command, std::span<const std::uint8_t> answer, BoardInfo& info) {
    const AnswerLayout* layout = LayoutOf(command);
    if (answer.empty()) return AnswerCheck::Short;
    if (layout == nullptr || answer[0] != layout->answer) return AnswerCheck::WrongCode;
    const auto length = AnswerLength(answer);
    if (!length || answer.size() < *length) return AnswerCheck::Short;
    answer = answer.first(*length);
    if (BootChecksum(answer.data(), answer.size() - 1) != answer.back()) return AnswerCheck::BadSum;
    BoardInfo read = info;
    if (!layout->read(answer.subspan(1 + layout->sizeBytes, answer.size() - 2 - layout->sizeBytes), read))
        return AnswerCheck::BadLayout;
    info = std::move(read);
    return AnswerCheck::Good;
}

std::uint64_t UserMatBytes(const std::vector<FlashArea>& mat) {
    std::vector<FlashArea> sorted = mat;
    std::sort(sorted.begin(), sorted.end(), [](const FlashArea& a, const FlashArea& b) { return a.start < b.start; });
    std::uint64_t covered = 0;
    for (const FlashArea& a : sorted)
        if (a.start <= covered) covered = std::max(covered, std::uint64_t{a.end} + 1);
    return covered;
}

bool FitsUserMat(const std::vector<FlashArea>& mat, std::uint64_t bytes) { return bytes <= UserMatBytes(mat); }

const char* BootStatusMeaning(std::uint8_t status) {
    switch (status) {
        case 0x11: return "waiting for the device selection";
        case 0x12: return "waiting for the clock mode selection";
        case 0x13: return "waiting for the bit rate selection";
        case 0x1F: return "waiting for the move to the programming/erasure state";
        case 0x31: return "erasing";
        case 0x3F: return "waiting for a programming or erasure selection";
        case 0x4F: return "waiting for programming data";
        case 0x5F: return "waiting for an erase block";
        default: return nullptr;
    }
}

std::string AnswerMeaning(std::uint8_t command, std::span<const std::uint8_t> answer) {
    if (answer.empty()) return {};
    const std::uint8_t first = answer[0];
    if (command == boot::kMatchByte) return first == boot::kMatchByte ? "matched" : "not the matching's answer";
    if (command == boot::kMatchConfirm)
        return first == boot::kMatchConfirmed ? "rate confirmed"
               : first == 0xFF                ? "the chip could not match the rate"
                                              : "not the confirmation";
    if (first == boot::kCommandRefused) return "not taken (command error)";
    if (first == (command | boot::kErrorBit)) {
        const char* meaning = answer.size() > 1 ? ErrorCodeMeaning(answer[1]) : nullptr;
        return std::string("error answer") + (meaning ? std::string(": ") + meaning : std::string());
    }
    if (command == boot::kMemoryRead && first == boot::kMemoryRead) return "the bytes read";
    if (command == boot::kSumCheck && first == boot::kSumCheckAnswer) return "the sum";
    if (const AnswerLayout* l = LayoutOf(command); l && first == l->answer) return "the answer";
    if (first == boot::kAck) return "acknowledged";
    return "neither an acknowledgement nor an error answer";
}

}  // namespace h8sx
