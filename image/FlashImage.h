// The byte image of the flash from offset 0 upward, as one FWRITE loads and programs it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace h8sx {

// Room for the image and its 128-byte tail.
inline constexpr std::size_t kFlashImageRoom = 0xF0000;  // 983,040 bytes
inline constexpr std::size_t kTailLength = 128;

struct FlashImage {
    std::vector<std::uint8_t> Bytes = std::vector<std::uint8_t>(kFlashImageRoom, 0xFF);
    // Image bytes, gap fill included, tail excluded.
    std::uint32_t Length = 0;
};

// Behind the image, whatever file it came from: five 0xFF, the marker text, then 0xFF up to
// 128 bytes. The readers keep its room free.
inline void WriteTail(FlashImage& image) {
    constexpr std::size_t kMarkerOffset = 5;
    constexpr std::string_view kMarker = "QVN060220";
    const std::size_t at = image.Length;
    if (at + kTailLength > image.Bytes.size()) return;
    const auto tail = image.Bytes.begin() + static_cast<std::ptrdiff_t>(at);
    std::fill_n(tail, kTailLength, std::uint8_t{0xFF});
    std::copy(kMarker.begin(), kMarker.end(), tail + kMarkerOffset);
}

}  // namespace h8sx
