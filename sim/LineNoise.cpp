#include "sim/LineNoise.h"

#include <cmath>
#include <limits>

namespace h8sx::sim {

LineNoise::LineNoise(double bitErrorRate, std::uint64_t seed) : rate_(bitErrorRate), random_(seed) {
    gap_ = NextGap();
}

std::uint64_t LineNoise::NextGap() {
    if (rate_ <= 0) return std::numeric_limits<std::uint64_t>::max();
    if (rate_ >= 1) return 0;
    // The bits up to the next flip are geometrically distributed; drawn from a uniform
    // number in (0, 1] by inversion, so that a rate of 1e-9 costs no more than one of 0.1.
    const double u = 1.0 - static_cast<double>(random_() >> 11) * 0x1.0p-53;
    const double gap = std::floor(std::log(u) / std::log1p(-rate_));
    return gap >= 1.8e19 ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(gap);
}

std::uint8_t LineNoise::Flips() {
    std::uint8_t flips = 0;
    for (unsigned bit = 0; bit < 8;) {
        if (gap_ >= 8 - bit) {
            if (gap_ != std::numeric_limits<std::uint64_t>::max()) gap_ -= 8 - bit;
            break;
        }
        bit += static_cast<unsigned>(gap_);
        flips = static_cast<std::uint8_t>(flips | (1u << bit));
        ++bit;
        gap_ = NextGap();
    }
    return flips;
}

}  // namespace h8sx::sim
