// The answers of the boot program's inquiries, read field by field: a table of their
// layouts (the command, the answer's first byte, the width of its size field, how its data
// are laid out), and what the board told, gathered in one record. Pure functions: the
// bytes in, the fields or what is wrong with them out.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace h8sx {

// An area of the flash, as the MAT and erase block inquiries give it: first and last address.
struct FlashArea {
    std::uint32_t start = 0, end = 0;
    std::uint64_t Size() const { return std::uint64_t{end} - start + 1; }
};

// What the boot program answered to its inquiries; each field once its inquiry was answered.
struct BoardInfo {
    std::optional<std::array<std::uint8_t, 4>> deviceCode;  // of the first (the only) device
    std::string productName;
    std::optional<std::vector<std::uint8_t>> clockModes;
    // For each clock type its ratios: a positive value multiplies, a negative one divides.
    std::optional<std::vector<std::vector<std::int8_t>>> ratios;
    // For each clock type the lowest and highest operating frequency, in 0.01 MHz.
    struct Range {
        std::uint16_t min, max;
    };
    std::optional<std::vector<Range>> frequencies;
    std::optional<std::vector<FlashArea>> userBootMat, userMat, eraseBlocks;
    std::optional<std::uint16_t> programmingUnit;  // bytes
    std::optional<std::uint8_t> status, error;     // the boot program status inquiry's
};

// The layout of one inquiry's answer: its code, its size field's width, and a reader of the
// data between the size and the SUM into the record, false when they are not laid out as
// the answer must be.
struct AnswerLayout {
    std::uint8_t command;
    std::uint8_t answer;
    std::size_t sizeBytes;
    bool (*read)(std::span<const std::uint8_t> data, BoardInfo& info);
};

// The layout of the answer to `command`; nullptr for a command that is not an inquiry.
const AnswerLayout* LayoutOf(std::uint8_t command);

enum class AnswerCheck : std::uint8_t {
    Good,
    Short,      // fewer bytes than its size says (or none at all)
    WrongCode,  // its first byte is not this inquiry's answer
    BadSum,     // its bytes do not add up to 0
    BadLayout,  // its size does not hold what its counts announce
};

// Checks a whole answer to `command` (code, size, data, SUM) and, when it is good, puts its
// fields into `info`.
AnswerCheck ReadAnswer(std::uint8_t command, std::span<const std::uint8_t> answer, BoardInfo& info);

// Whether an image whose blocks end at `bytes` lies inside the user MAT's areas, from
// address 0 on without a gap.
bool FitsUserMat(const std::vector<FlashArea>& mat, std::uint64_t bytes);
// The bytes the user MAT's areas hold from address 0 without a gap.
std::uint64_t UserMatBytes(const std::vector<FlashArea>& mat);

// What the boot program status inquiry's status means ("waiting for the device selection");
// nullptr for a status it does not give.
const char* BootStatusMeaning(std::uint8_t status);

// What a boot-program answer (or its first bytes) to a command starting with `command`
// means, for a trace: "acknowledged", "error: checksum error", "not taken", ...
std::string AnswerMeaning(std::uint8_t command, std::span<const std::uint8_t> answer);

}  // namespace h8sx
