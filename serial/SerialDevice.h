// The operating system's serial API, in the shape the writer uses it: one handle, a
// device-control block, a receive queue that can be measured, purged and read without
// blocking, synchronous writes and the two modem-control lines.
//
// Platform layers (termios, Win32) and the in-process virtual board implement it. Every
// call on a handle that is not open fails without effect; the core ignores the results
// where the board's protocol leaves nothing to decide on them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace h8sx {

using ComHandleValue = std::intptr_t;
inline constexpr ComHandleValue kNullHandle = 0;
inline constexpr ComHandleValue kInvalidHandle = -1;

// Parity and stop-bit codes as the Windows DCB spells them.
inline constexpr std::uint8_t NOPARITY = 0;
inline constexpr std::uint8_t ONESTOPBIT = 0;

// The device-control block. The four named fields are the ones the writer sets; `Raw`
// carries the platform's own record as the driver reported it, so that every field the
// writer does not name goes back to the driver unchanged.
struct Dcb {
    std::uint32_t BaudRate = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    std::array<unsigned char, 64> Raw{};
};

// EscapeCommFunction codes.
enum class Escape : int { SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6 };

// Why the last CreateFile failed, as the system said it.
struct OpenError {
    enum class Kind : std::uint8_t { None, Missing, Denied, Busy, Other };
    Kind kind = Kind::None;
    int code = 0;       // errno, or GetLastError() on Windows
    std::string text;   // the system's own words (strerror, FormatMessage), UTF-8
};

class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    // Opens "COM1".."COM6" exclusively for reading and writing; kInvalidHandle on failure.
    virtual ComHandleValue CreateFile(const std::string& name) = 0;
    // Why the last CreateFile failed; Kind::None after one that succeeded.
    virtual OpenError LastOpenError() const { return {}; }
    virtual bool CloseHandle(ComHandleValue h) = 0;
    virtual bool GetCommState(ComHandleValue h, Dcb& dcb) = 0;
    virtual bool SetCommState(ComHandleValue h, const Dcb& dcb) = 0;
    virtual bool SetupComm(ComHandleValue h, std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    // Discards what has been received and not yet read.
    virtual bool PurgeReceive(ComHandleValue h) = 0;
    // Received bytes not yet read; 0 when the handle is not a working port.
    virtual std::uint32_t BytesWaiting(ComHandleValue h) = 0;
    // Reads at most n bytes that are already waiting; returns how many were read.
    virtual std::size_t Read(ComHandleValue h, std::uint8_t* buf, std::size_t n) = 0;
    // Returns once the driver has taken the bytes; the number taken.
    virtual std::size_t Write(ComHandleValue h, const std::uint8_t* buf, std::size_t n) = 0;
    virtual bool EscapeCommFunction(ComHandleValue h, Escape code) = 0;
    // The port has gone away under its open handle: a USB adapter unplugged, the board's
    // power lost with it, the other end of a pseudo-terminal closed. Nothing passes any
    // more, and nothing will: the handle stays open until it is closed, but every call on
    // it fails. Learnt from the errors of the calls above and, where the system tells it,
    // from the port's hang-up state.
    virtual bool Lost(ComHandleValue /*h*/) { return false; }
};

}  // namespace h8sx
