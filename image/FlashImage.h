// The byte image of the flash from offset 0 upward, as one FWRITE loads and programs it.
#pragma once

#include <cstddef>
#include <cstdint>
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

}  // namespace h8sx
