// The bit rate of a terminal as a number, custom rates included: on Linux through termios2
// (a rate in bit/s beside the speed code BOTHER), which the standard speed codes of
// <termios.h> cannot express. The kernel's termios2 header clashes with <termios.h>, so
// these calls live in a file of their own.
#pragma once

#include <cstdint>

namespace h8sx::posix {

// The rates a terminal sends and receives at; false when they cannot be read.
bool ReadLineRates(int fd, std::uint32_t& send, std::uint32_t& receive);

// Sets a terminal to send and receive at `rate` bit/s, any rate its driver takes, leaving
// every other setting as it is; false when the driver refuses it or the system has no
// custom rates.
bool SetCustomLineRate(int fd, std::uint32_t rate);

}  // namespace h8sx::posix
