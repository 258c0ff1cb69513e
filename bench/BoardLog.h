// What a benchmark reads from the paced board's log and flash file: the line time of
// every byte that crossed the line, the writer's turnarounds, whether the flash holds an
// image; and its option numbers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "boot/BootProtocol.h"

namespace h8sx::bench {

namespace fs = std::filesystem;
inline constexpr unsigned kProgramCommand = h8sx::boot::kProgram128;

// The number behind the option at argv[i] (i moves on to it), from lo to hi; else usage().
inline unsigned NumberArgument(int argc, char** argv, int& i, unsigned lo, unsigned hi, void (*usage)()) {
    if (i + 1 >= argc) usage();
    char* end = nullptr;
    const unsigned long v = std::strtoul(argv[++i], &end, 10);
    if (*end != '\0' || v < lo || v > hi) usage();
    return static_cast<unsigned>(v);
}

// Pseudo-random bytes, the same on every run.
inline std::vector<std::uint8_t> MakeImage(std::size_t length) {
    std::mt19937 random(0x1622);
    std::vector<std::uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random() >> 24);
    return bytes;
}

// What crossed the line, from the board's log: every byte with the rate it was sent at.
struct LineFigures {
    long bytes = 0;
    double byteSeconds = 0;  // 10 bits a byte at its rate
    // The writer's turnarounds between two programming commands: from the answer's
    // arrival at the writer to the moment the next command's first byte began on the line.
    std::vector<double> turnarounds;
};

inline LineFigures ReadLog(const fs::path& path) {
    LineFigures out;
    std::ifstream in(path);
    std::string line;
    double lastAnswer = -1;  // arrival of the last board>host byte since the host last sent
    unsigned command = 0;    // first byte of the host's last command
    while (std::getline(in, line)) {
        unsigned long long sec = 0, micro = 0;
        char what[16] = {};
        unsigned byte = 0, rate = 0;
        if (std::sscanf(line.c_str(), "%llu.%llu %15s %x %u", &sec, &micro, what, &byte, &rate) != 5 ||
            rate == 0)
            continue;
        const double at = double(sec) + double(micro) / 1e6;  // when it has crossed the line
        const double time = 10.0 / rate;
        ++out.bytes;
        out.byteSeconds += time;
        if (std::strcmp(what, "board>host") == 0) {
            lastAnswer = at;
        } else if (std::strcmp(what, "host>board") == 0) {
            if (lastAnswer >= 0) {
                // Not the first block: the file is chosen and read before that one.
                if (byte == kProgramCommand && command == kProgramCommand)
                    out.turnarounds.push_back(at - time - lastAnswer);
                command = byte;
            }
            lastAnswer = -1;
        }
    }
    return out;
}

// Where the board's flash first differs from the image (erased beyond it); nothing when equal.
inline std::optional<std::size_t> FirstDifference(const fs::path& flashPath,
                                                  const std::vector<std::uint8_t>& image) {
    std::ifstream in(flashPath, std::ios::binary);
    const std::vector<char> flash((std::istreambuf_iterator<char>(in)), {});
    if (flash.size() != (std::size_t{1} << 20)) return flash.size();
    for (std::size_t i = 0; i < flash.size(); ++i) {
        const std::uint8_t want = i < image.size() ? image[i] : 0xFF;
        if (static_cast<std::uint8_t>(flash[i]) != want) return i;
    }
    return std::nullopt;
}

}  // namespace h8sx::bench
