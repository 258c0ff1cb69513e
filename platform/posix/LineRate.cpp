#include "platform/posix/LineRate.h"

#ifdef __linux__
#include <asm/termbits.h>
#include <sys/ioctl.h>
#else
#include <termios.h>

#include "platform/posix/TermiosRates.h"
#endif

namespace h8sx::posix {

#ifdef __linux__

bool ReadLineRates(int fd, std::uint32_t& send, std::uint32_t& receive) {
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) return false;
    // The kernel keeps both numbers up to date whatever the speed codes say; an input
    // code of B0 (the same as the output) is already resolved in c_ispeed.
    send = t.c_ospeed;
    receive = t.c_ispeed;
    return true;
}

bool SetCustomLineRate(int fd, std::uint32_t rate) {
    termios2 t{};
    if (rate == 0 || ::ioctl(fd, TCGETS2, &t) != 0) return false;
    // The output rate as a number; the input speed code B0: the same as the output, so
    // that a later standard speed set through <termios.h> (which leaves the input code
    // alone) applies to both directions.
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER;
    t.c_ospeed = t.c_ispeed = rate;
    return ::ioctl(fd, TCSETS2, &t) == 0;
}

#else

bool ReadLineRates(int fd, std::uint32_t& send, std::uint32_t& receive) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    send = CodeToRate(::cfgetospeed(&t));
    const speed_t in = ::cfgetispeed(&t);
    receive = in != B0 ? CodeToRate(in) : send;
    return true;
}

bool SetCustomLineRate(int, std::uint32_t) { return false; }

#endif

}  // namespace h8sx::posix
