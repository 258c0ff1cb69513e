// The serial port on POSIX: termios in raw mode, exclusive, modem lines through ioctl.
// "COMn" names the device in $H8SX_COMn when set, else /dev/ttyS<n-1>.
#pragma once

#include <string>

#include "serial/SerialDevice.h"

namespace h8sx::posix {

// The device path that stands for a port name ("COM1".."COM6"); other names unchanged.
std::string DevicePathFor(const std::string& portName);

class PosixSerialDevice : public SerialDevice {
public:
    ~PosixSerialDevice() override;

    // The descriptor of the open port, or -1: the front end waits on it for input.
    int CurrentFd() const { return fd_; }

    ComHandleValue CreateFile(const std::string& name) override;
    bool CloseHandle(ComHandleValue h) override;
    bool GetCommState(ComHandleValue h, Dcb& dcb) override;
    bool SetCommState(ComHandleValue h, const Dcb& dcb) override;
    bool SetupComm(ComHandleValue h, std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool PurgeReceive(ComHandleValue h) override;
    std::uint32_t BytesWaiting(ComHandleValue h) override;
    std::size_t Read(ComHandleValue h, std::uint8_t* buf, std::size_t n) override;
    std::size_t Write(ComHandleValue h, const std::uint8_t* buf, std::size_t n) override;
    bool EscapeCommFunction(ComHandleValue h, Escape code) override;

private:
    int fd_ = -1;
};

}  // namespace h8sx::posix
