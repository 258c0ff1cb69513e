#include "cli/SerialNumber.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "boot/BootProtocol.h"
#include "cli/System.h"

namespace h8sx::cli {

namespace {

constexpr unsigned kMostDigits = 20;  // 2^64 - 1 has 20 decimal digits

bool ParseNumber(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0';
}

}  // namespace

std::string ParseSerialStamp(const std::string& text, SerialStamp& stamp) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return "--serial takes ADDR:FORMAT (e.g. 0xFF000:u32be), not '" + text + "'";
    std::uint64_t address = 0;
    if (!ParseNumber(text.substr(0, colon), address))
        return "--serial: '" + text.substr(0, colon) + "' is no address (decimal or 0x hex)";
    if (address > 0xFFFFFFFF) return "--serial: the address " + text.substr(0, colon) + " is out of range";
    stamp.address = static_cast<std::uint32_t>(address);
    stamp.format = text.substr(colon + 1);
    const std::string& f = stamp.format;
    using K = SerialStamp::Kind;
    if (f == "u16be" || f == "u16le" || f == "u32be" || f == "u32le") {
        stamp.kind = f == "u16be" ? K::U16BE : f == "u16le" ? K::U16LE : f == "u32be" ? K::U32BE : K::U32LE;
        stamp.width = f[1] == '1' ? 2 : 4;
        return {};
    }
    if (f.rfind("dec:", 0) == 0 || f.rfind("hex:", 0) == 0) {
        std::uint64_t digits = 0;
        if (!ParseNumber(f.substr(4), digits) || digits < 1 || digits > kMostDigits)
            return "--serial: " + f + " needs a number of digits from 1 to 20";
        stamp.kind = f[0] == 'd' ? K::Decimal : K::Hex;
        stamp.width = static_cast<unsigned>(digits);
        return {};
    }
    return "--serial: no format '" + f + "' (u16be, u32be, u16le, u32le, dec:N, hex:N)";
}

std::optional<std::vector<std::uint8_t>> SerialBytes(const SerialStamp& stamp, std::uint64_t number) {
    using K = SerialStamp::Kind;
    std::vector<std::uint8_t> bytes;
    switch (stamp.kind) {
        case K::U16BE:
        case K::U16LE:
        case K::U32BE:
        case K::U32LE: {
            if (stamp.width < 8 && number >> (8 * stamp.width) != 0) return std::nullopt;
            for (unsigned i = 0; i < stamp.width; ++i)
                bytes.push_back(static_cast<std::uint8_t>(number >> (8 * (stamp.width - 1 - i))));
            // The chip is big-endian; a little-endian number for a program that wants one.
            if (stamp.kind == K::U16LE || stamp.kind == K::U32LE) std::reverse(bytes.begin(), bytes.end());
            return bytes;
        }
        case K::Decimal:
        case K::Hex: {
            char text[32];
            std::snprintf(text, sizeof text, stamp.kind == K::Decimal ? "%0*llu" : "%0*llX",
                          static_cast<int>(stamp.width), static_cast<unsigned long long>(number));
            const std::string digits = text;
            if (digits.size() > stamp.width) return std::nullopt;
            return std::vector<std::uint8_t>(digits.begin(), digits.end());
        }
    }
    return std::nullopt;
}

std::string StampPlaceProblem(const SerialStamp& stamp, const FlashImage& image) {
    char at[64];
    std::snprintf(at, sizeof at, "0x%06X", static_cast<unsigned>(stamp.address));
    const std::uint64_t end = std::uint64_t{stamp.address} + stamp.width;
    if (end > kFlashImageRoom - kTailLength) {
        char room[32];
        std::snprintf(room, sizeof room, "0x%06X", static_cast<unsigned>(kFlashImageRoom - kTailLength));
        return "the serial number at " + std::string(at) + " (" + std::to_string(stamp.width) +
               " bytes) lies outside the flash an image may fill (up to " + room + ")";
    }
    for (std::uint32_t a = stamp.address; a < end; ++a)
        if (image.Bytes[a] != 0xFF) {
            char where[64];
            std::snprintf(where, sizeof where, "0x%06X holds 0x%02X", static_cast<unsigned>(a), image.Bytes[a]);
            return "the serial number at " + std::string(at) + " would overwrite the image: " + where +
                   ", where the firmware must keep 0xFF for it";
        }
    return {};
}

void StampImage(FlashImage& image, const SerialStamp& stamp, const std::vector<std::uint8_t>& bytes) {
    std::copy(bytes.begin(), bytes.end(), image.Bytes.begin() + stamp.address);
    const std::uint32_t end = stamp.address + static_cast<std::uint32_t>(bytes.size());
    if (end > image.Length) image.Length = end;  // the bytes between hold 0xFF already
}

std::optional<std::uint64_t> ParseCounter(const std::string& content) {
    std::size_t first = content.find_first_not_of(" \t\r\n");
    std::size_t last = content.find_last_not_of(" \t\r\n");
    if (first == std::string::npos) return std::nullopt;
    const std::string digits = content.substr(first, last - first + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > kMostDigits)
        return std::nullopt;
    std::uint64_t value = 0;
    if (!ParseNumber(digits, value)) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> SerialCounter::Peek(std::string& error) const {
    const std::optional<std::string> content = ReadWholeFile(path_, error);
    if (!content) return std::nullopt;
    const auto number = ParseCounter(*content);
    if (!number) error = "the serial number file " + path_ + " holds no number (it holds the next one, as text)";
    return number;
}

std::optional<std::uint64_t> SerialCounter::Take(const SerialStamp& stamp, std::string& error) const {
    std::optional<std::uint64_t> taken;
    const std::string problem = UpdateFileLocked(path_, [&](const std::string& content) -> std::optional<std::string> {
        const auto number = ParseCounter(content);
        if (!number) {
            error = "the serial number file " + path_ + " holds no number (it holds the next one, as text)";
            return std::nullopt;
        }
        if (!SerialBytes(stamp, *number)) {
            error = "the serial number " + std::to_string(*number) + " does not fit " + stamp.format;
            return std::nullopt;
        }
        if (*number == UINT64_MAX) {
            error = "the serial number file " + path_ + " has run out of numbers";
            return std::nullopt;
        }
        taken = number;
        return std::to_string(*number + 1) + "\n";
    });
    if (!problem.empty()) {
        error = problem;
        return std::nullopt;
    }
    return taken;
}

}  // namespace h8sx::cli
