// Bit errors on a serial line: each data bit flips with a given probability, the flips
// drawn from a seeded generator, so that the same bytes meet the same flips on every run.
#pragma once

#include <cstdint>
#include <random>

namespace h8sx::sim {

class LineNoise {
public:
    explicit LineNoise(double bitErrorRate = 0, std::uint64_t seed = 1);
    // The bits of a byte that flip on its way (0: none); start and stop bits stay whole.
    std::uint8_t Flips();

private:
    std::uint64_t NextGap();

    double rate_;
    std::mt19937_64 random_;
    std::uint64_t gap_ = 0;  // data bits that pass whole before the next flip
};

}  // namespace h8sx::sim
