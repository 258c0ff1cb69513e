// The bit rates a terminal's settings can hold, with their termios speed codes: for the
// serial port, and for the virtual board, which reads the rate the writer has set.
#pragma once

#include <termios.h>

#include <cstdint>

namespace h8sx::posix {

struct RateCode {
    std::uint32_t rate;
    speed_t code;
};

inline constexpr RateCode kTermiosRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

// The speed code of a bit rate; false when termios has none for it.
inline bool RateToCode(std::uint32_t rate, speed_t& code) {
    for (const RateCode& r : kTermiosRates)
        if (r.rate == rate) return code = r.code, true;
    return false;
}

// The bit rate of a speed code; 0 for B0 and codes not in the table.
inline std::uint32_t CodeToRate(speed_t code) {
    for (const RateCode& r : kTermiosRates)
        if (r.code == code) return r.rate;
    return 0;
}

}  // namespace h8sx::posix
