#include "platform/posix/PosixSerial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#if __has_include(<linux/serial.h>)
#include <linux/serial.h>
#endif

#include "platform/posix/LineRate.h"
#include "platform/posix/TermiosRates.h"

namespace h8sx::posix {

static_assert(sizeof(termios) <= sizeof(Dcb{}.Raw), "the termios record must fit the DCB's raw field");

namespace {

// Codes of the DCB's Parity and StopBits fields beyond the two the writer names.
constexpr std::uint8_t ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr std::uint8_t ONE5STOPBITS = 1, TWOSTOPBITS = 2;

// A write gives up when the driver has taken nothing for this long: the line is dead
// (a pseudo-terminal whose other end stopped reading), and the exchange that follows
// notices it as a missing answer.
constexpr int kWriteStallMillis = 3000;

// Every byte passes unchanged in both directions: no echo, no line-end translation, no
// software or hardware flow control, modem status ignored (CLOCAL), so that DTR and RTS
// are the writer's alone.
void MakeRaw(termios& t) {
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | HUPCL);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

void AskForLowLatency([[maybe_unused]] int fd) {
#if defined(ASYNC_LOW_LATENCY) && defined(TIOCGSERIAL) && defined(TIOCSSERIAL)
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
        ss.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &ss);  // not every driver takes it; the port works either way
    }
#endif
}

OpenError::Kind KindOf(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO: return OpenError::Kind::Missing;
        case EACCES:
        case EPERM: return OpenError::Kind::Denied;
        case EBUSY:
        case EWOULDBLOCK: return OpenError::Kind::Busy;  // the exclusive lock, held elsewhere
        default: return OpenError::Kind::Other;
    }
}

}  // namespace

std::string DevicePathFor(const std::string& portName) { return PortMap().DevicePathFor(portName); }

void PosixSerialDevice::UsePortMap(PortMap map) { ports_ = std::move(map); }

PosixSerialDevice::~PosixSerialDevice() {
    if (fd_ >= 0) CloseHandle(Handle());
}

bool PosixSerialDevice::IsOpen(ComHandleValue h) const { return fd_ >= 0 && h == Handle(); }

ComHandleValue PosixSerialDevice::OpenFailed(int error) {
    openError_ = OpenError{KindOf(error), error, std::strerror(error)};
    return kInvalidHandle;
}

ComHandleValue PosixSerialDevice::CreateFile(const std::string& name) {
    if (fd_ >= 0) return OpenFailed(EBUSY);  // one port at a time, and it is held: by us
    const std::string path = ports_ ? ports_->DevicePathFor(name) : DevicePathFor(name);
    // Non-blocking: the open does not wait for a carrier, reads never wait, and a write
    // that the driver cannot take at once waits in poll() below.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return OpenFailed(errno);
    // Exclusive, as a COM port opened without sharing: TIOCEXCL keeps out other openers
    // that are not privileged, the lock also those that are.
    termios t{};
    int error = 0;
    if (!isatty(fd)) error = ENOTTY;
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(fd, &t) != 0) error = errno;
    if (error != 0) {
        ::close(fd);
        return OpenFailed(error);
    }
    ioctl(fd, TIOCEXCL);
    MakeRaw(t);
    tcsetattr(fd, TCSANOW, &t);
    AskForLowLatency(fd);
    // A port starts with empty queues, whatever an earlier user left in them.
    tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    lost_ = false;
    openError_ = {};
    return Handle();
}

bool PosixSerialDevice::CloseHandle(ComHandleValue h) {
    if (!IsOpen(h)) return false;
    // The exclusive mark belongs to the terminal, not to our descriptor: a pseudo-terminal
    // keeps it after the close, and the next opener would be refused.
    ioctl(fd_, TIOCNXCL);
    const int fd = fd_;
    fd_ = -1;
    lost_ = false;
    return ::close(fd) == 0;
}

// A hung-up terminal (its USB device removed, or the master of a pseudo-terminal closed)
// fails its calls with EIO; a device node whose driver has let go of it, with ENXIO or
// ENODEV.
bool PosixSerialDevice::Gone(int error) {
    if (error == EIO || error == ENXIO || error == ENODEV) lost_ = true;
    return lost_;
}

bool PosixSerialDevice::Lost(ComHandleValue h) {
    if (!IsOpen(h)) return false;
    if (lost_) return true;
    // The hang-up state is there to be seen before any call fails.
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) lost_ = true;
    return lost_;
}

bool PosixSerialDevice::GetCommState(ComHandleValue h, Dcb& dcb) {
    if (!IsOpen(h)) return false;
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return false;
    dcb.Raw.fill(0);
    std::memcpy(dcb.Raw.data(), &t, sizeof t);
    // The rate in force as a number, a custom one too; without that, the speed code's.
    std::uint32_t send = 0, receive = 0;
    dcb.BaudRate = ReadLineRates(fd_, send, receive) ? send : CodeToRate(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
        case CS5: dcb.ByteSize = 5; break;
        case CS6: dcb.ByteSize = 6; break;
        case CS7: dcb.ByteSize = 7; break;
        default: dcb.ByteSize = 8; break;
    }
    dcb.Parity = !(t.c_cflag & PARENB) ? NOPARITY : (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
#ifdef CMSPAR
    if ((t.c_cflag & PARENB) && (t.c_cflag & CMSPAR)) dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
#endif
    dcb.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    return true;
}

bool PosixSerialDevice::SetCommState(ComHandleValue h, const Dcb& dcb) {
    if (!IsOpen(h)) return false;
    termios t{};
    // The record as GetCommState reported it keeps what the DCB does not name; a block
    // that never went through GetCommState starts from the port's present settings.
    const bool filled = std::any_of(dcb.Raw.begin(), dcb.Raw.end(), [](unsigned char c) { return c != 0; });
    if (filled) std::memcpy(&t, dcb.Raw.data(), sizeof t);
    else if (tcgetattr(fd_, &t) != 0) return false;

    // A standard speed goes through termios; any other rate is set as a custom one once
    // the rest is in place.
    speed_t code{};
    const bool standard = RateToCode(dcb.BaudRate, code);
    if (!standard && dcb.BaudRate == 0) return false;
    tcflag_t size = 0;
    switch (dcb.ByteSize) {
        case 5: size = CS5; break;
        case 6: size = CS6; break;
        case 7: size = CS7; break;
        case 8: size = CS8; break;
        default: return false;
    }
    tcflag_t parity = 0;
    switch (dcb.Parity) {
        case NOPARITY: break;
        case ODDPARITY: parity = PARENB | PARODD; break;
        case EVENPARITY: parity = PARENB; break;
#ifdef CMSPAR
        case MARKPARITY: parity = PARENB | PARODD | CMSPAR; break;
        case SPACEPARITY: parity = PARENB | CMSPAR; break;
#endif
        default: return false;
    }
    tcflag_t stop = 0;
    switch (dcb.StopBits) {
        case ONESTOPBIT: break;
        case ONE5STOPBITS:  // one and a half: the nearest a UART here has
        case TWOSTOPBITS: stop = CSTOPB; break;
        default: return false;
    }
    tcflag_t mask = CSIZE | PARENB | PARODD | CSTOPB;
#ifdef CMSPAR
    mask |= CMSPAR;
#endif
    t.c_cflag = (t.c_cflag & ~mask) | size | parity | stop;
    if (standard) {
        cfsetispeed(&t, code);
        cfsetospeed(&t, code);
    }
    if (standard) return tcsetattr(fd_, TCSANOW, &t) == 0;
    termios before{};
    if (tcgetattr(fd_, &before) != 0 || tcsetattr(fd_, TCSANOW, &t) != 0) return false;
    if (SetCustomLineRate(fd_, dcb.BaudRate)) return true;
    tcsetattr(fd_, TCSANOW, &before);  // a rate the driver refuses changes nothing
    return false;
}

bool PosixSerialDevice::SetupComm(ComHandleValue h, std::uint32_t, std::uint32_t) {
    // The terminal driver's queues have a size of their own; nothing to ask for.
    return IsOpen(h);
}

bool PosixSerialDevice::PurgeReceive(ComHandleValue h) {
    if (!IsOpen(h)) return false;
    if (tcflush(fd_, TCIFLUSH) == 0) return true;
    Gone(errno);
    return false;
}

std::uint32_t PosixSerialDevice::BytesWaiting(ComHandleValue h) {
    if (!IsOpen(h)) return 0;
    int n = 0;
    if (ioctl(fd_, FIONREAD, &n) != 0) Gone(errno);
    return n > 0 && !lost_ ? static_cast<std::uint32_t>(n) : 0;
}

std::size_t PosixSerialDevice::Read(ComHandleValue h, std::uint8_t* buf, std::size_t n) {
    if (!IsOpen(h) || n == 0) return 0;
    for (;;) {
        const ssize_t got = ::read(fd_, buf, n);
        // 0 too where nothing waits: the terminal is set to return at once.
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return Gone(errno), 0;  // EAGAIN: nothing waits
    }
}

std::size_t PosixSerialDevice::Write(ComHandleValue h, const std::uint8_t* buf, std::size_t n) {
    if (!IsOpen(h)) return 0;
    std::size_t done = 0;
    while (done < n) {
        const ssize_t put = ::write(fd_, buf + done, n - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Gone(errno);
            break;
        }
        // The driver's queue is full: wait until it takes more.
        pollfd p{fd_, POLLOUT, 0};
        const int ready = ::poll(&p, 1, kWriteStallMillis);
        if (ready < 0 && errno == EINTR) continue;
        if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) lost_ = true;
        if (ready <= 0 || lost_) break;
    }
    return done;
}

bool PosixSerialDevice::EscapeCommFunction(ComHandleValue h, Escape code) {
    if (!IsOpen(h)) return false;
    int bits = 0;
    unsigned long request = 0;
    switch (code) {
        case Escape::SETDTR: bits = TIOCM_DTR, request = TIOCMBIS; break;
        case Escape::CLRDTR: bits = TIOCM_DTR, request = TIOCMBIC; break;
        case Escape::SETRTS: bits = TIOCM_RTS, request = TIOCMBIS; break;
        case Escape::CLRRTS: bits = TIOCM_RTS, request = TIOCMBIC; break;
        default: return false;
    }
    // A pseudo-terminal has no modem lines: there this fails, and the writer goes on.
    if (ioctl(fd_, request, &bits) == 0) return true;
    Gone(errno);
    return false;
}

}  // namespace h8sx::posix
