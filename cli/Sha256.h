// SHA-256, for the production log's fingerprint of the image a board was given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace h8sx::cli {

// The digest of `n` bytes as 64 lower-case hex digits.
std::string Sha256Hex(const std::uint8_t* bytes, std::size_t n);

}  // namespace h8sx::cli
