// The serial port on Windows: the communications API on one handle, synchronous, without
// overlapped I/O, time-outs or event masks. Port names ("COM1".."COM6") go to CreateFileA
// unchanged; the bit rate goes to the driver as a number, whatever rate it is.
#pragma once

#include "serial/SerialDevice.h"

namespace h8sx::win32 {

class Win32SerialDevice : public SerialDevice {
public:
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
    bool Lost(ComHandleValue h) override { return h == lostHandle_ && h != kNullHandle; }

private:
    // Notes the error of a call that failed on `h`; a removed port fails with these.
    void Failed(ComHandleValue h);

    OpenError openError_;
    ComHandleValue lostHandle_ = kNullHandle;
};

}  // namespace h8sx::win32
