// A board's own serial number in its image: where it goes (ADDR), in which form (FORMAT),
// and the file that holds the next one, shared by every station that writes these boards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/FlashImage.h"

namespace h8sx::cli {

struct SerialStamp {
    enum class Kind : std::uint8_t { U16BE, U32BE, U16LE, U32LE, Decimal, Hex };
    std::uint32_t address = 0;
    Kind kind = Kind::U32BE;
    unsigned width = 4;  // bytes in the image: 2 or 4, or the digits of dec:N and hex:N
    std::string format;  // as given: "u32be", "dec:6"
};

// Reads "ADDR:FORMAT" (ADDR in decimal or 0x hex; FORMAT u16be, u32be, u16le, u32le, dec:N
// or hex:N with N digits from 1 to 20); what is wrong, or empty.
std::string ParseSerialStamp(const std::string& text, SerialStamp& stamp);

// The bytes `number` is written as; nothing when it does not fit the format.
std::optional<std::vector<std::uint8_t>> SerialBytes(const SerialStamp& stamp, std::uint64_t number);

// Whether the stamp may go into `image`: inside the flash the image can fill, and where the
// image holds 0xFF (a place the firmware keeps for it). Empty, or what is wrong.
std::string StampPlaceProblem(const SerialStamp& stamp, const FlashImage& image);

// `image` with the number's bytes at the stamp's address, extended with 0xFF to cover it.
void StampImage(FlashImage& image, const SerialStamp& stamp, const std::vector<std::uint8_t>& bytes);

// The counter: a file that holds the next number as text.
class SerialCounter {
public:
    explicit SerialCounter(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }

    // The number for the next board, with the file advanced past it under a lock and
    // replaced atomically, so that no number is given twice, by this station or another.
    // A number `fits` refuses stays in the file. Nothing, with `error` said, when the file
    // cannot be read, holds no number, cannot be written, or the number does not fit.
    std::optional<std::uint64_t> Take(const SerialStamp& stamp, std::string& error) const;
    // The next number, without taking it.
    std::optional<std::uint64_t> Peek(std::string& error) const;

private:
    std::string path_;
};

// The number a counter file holds; nothing for text that is no number.
std::optional<std::uint64_t> ParseCounter(const std::string& content);

}  // namespace h8sx::cli
