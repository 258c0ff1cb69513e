// The serial port on POSIX: termios in raw mode, exclusive, modem lines through ioctl.
// "COMn" names the device the port map gives it (PortMap.h). Standard speeds are set
// through termios, any other rate the driver takes as a custom one (LineRate.h).
#pragma once

#include <optional>
#include <string>

#include "platform/posix/PortMap.h"
#include "serial/SerialDevice.h"

namespace h8sx::posix {

// The device path that stands for a port name ("COM1".."COM6") in the port map beside the
// program's settings; other names unchanged.
std::string DevicePathFor(const std::string& portName);

// One port at a time: a second CreateFile while a port is open fails, as it would for
// a port that another program holds.
class PosixSerialDevice : public SerialDevice {
public:
    PosixSerialDevice() = default;
    PosixSerialDevice(const PosixSerialDevice&) = delete;
    PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;
    ~PosixSerialDevice() override;

    // The descriptor of the open port, or -1 (none open, or the port has gone away, when a
    // hung-up descriptor would wake every sleep on it at once): the front end waits on it
    // for input.
    int CurrentFd() const { return lost_ ? -1 : fd_; }
    // Port names lead where this map says, instead of the map beside the settings.
    void UsePortMap(PortMap map);

    ComHandleValue CreateFile(const std::string& name) override;
    OpenError LastOpenError() const override { return openError_; }
    bool CloseHandle(ComHandleValue h) override;
    bool GetCommState(ComHandleValue h, Dcb& dcb) override;
    bool SetCommState(ComHandleValue h, const Dcb& dcb) override;
    bool SetupComm(ComHandleValue h, std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool PurgeReceive(ComHandleValue h) override;
    std::uint32_t BytesWaiting(ComHandleValue h) override;
    std::size_t Read(ComHandleValue h, std::uint8_t* buf, std::size_t n) override;
    std::size_t Write(ComHandleValue h, const std::uint8_t* buf, std::size_t n) override;
    bool EscapeCommFunction(ComHandleValue h, Escape code) override;
    bool Lost(ComHandleValue h) override;

private:
    // Handles are the descriptor plus one: never the null or the invalid handle.
    ComHandleValue Handle() const { return static_cast<ComHandleValue>(fd_) + 1; }
    bool IsOpen(ComHandleValue h) const;
    ComHandleValue OpenFailed(int error);
    // Notes a failed call's errno; true when it says the port has gone away.
    bool Gone(int error);

    int fd_ = -1;
    bool lost_ = false;
    OpenError openError_;
    std::optional<PortMap> ports_;
};

}  // namespace h8sx::posix
