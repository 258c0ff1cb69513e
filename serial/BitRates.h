// The line rates the writer and the board meet at.
#pragma once

#include <cstdint>

namespace h8sx {

// The boot program measures the rate from the matching bytes at this rate; the port is
// opened at it at start-up too, ready for a write.
inline constexpr std::uint32_t kMatchingBitRate = 19200;
// The rate the window's write moves the boot program to for the erase and the programming.
inline constexpr std::uint32_t kProgrammingBitRate = 38400;
// The board's own program talks at this rate (the monitor, RAM_WRITE).
inline constexpr std::uint32_t kOwnProgramBitRate = 38400;

}  // namespace h8sx
