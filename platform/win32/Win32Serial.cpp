#include "platform/win32/Win32Serial.h"

#include "platform/win32/WideText.h"
#include "platform/win32/WinApi.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace h8sx::win32 {

namespace {

static_assert(sizeof(DCB) <= sizeof(Dcb::Raw), "the driver's DCB must fit in Dcb::Raw");
// The core's Escape codes are Windows' own.
static_assert(api::kSetRts == static_cast<DWORD>(Escape::SETRTS) && api::kClrRts == static_cast<DWORD>(Escape::CLRRTS) &&
              api::kSetDtr == static_cast<DWORD>(Escape::SETDTR) && api::kClrDtr == static_cast<DWORD>(Escape::CLRDTR));
// kInvalidHandle is INVALID_HANDLE_VALUE, the all-ones handle.
static_assert(kInvalidHandle == -1);

HANDLE Native(ComHandleValue h) { return reinterpret_cast<HANDLE>(h); }

// The null handle and INVALID_HANDLE_VALUE (which Windows would take for the process
// itself) are never passed on.
bool Usable(ComHandleValue h) { return h != kNullHandle && h != kInvalidHandle; }

OpenError::Kind KindOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return OpenError::Kind::Missing;
        // A COM port is opened without sharing: refused access means another program has it.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return OpenError::Kind::Busy;
        default: return OpenError::Kind::Other;
    }
}

// The system's own words for an error code, in UTF-8, without the line end it closes with.
std::string SystemText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer != nullptr ? buffer : L"", n);
    if (buffer != nullptr) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
    return Narrow(text);
}

constexpr DWORD kNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, which not every SDK names

// What a serial port's calls fail with once its USB adapter has been unplugged (the
// driver's handle stays open, but its device is gone), as the drivers in use report it.
bool MeansRemoved(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_NOT_READY:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_DEV_NOT_EXIST:
        case kNoSuchDevice:
        case ERROR_OPERATION_ABORTED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_FILE_NOT_FOUND: return true;
        default: return false;
    }
}

}  // namespace

void Win32SerialDevice::Failed(ComHandleValue h) {
    if (MeansRemoved(::GetLastError())) lostHandle_ = h;
}

ComHandleValue Win32SerialDevice::CreateFile(const std::string& name) {
    HANDLE h = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        openError_ = OpenError{KindOf(error), static_cast<int>(error), SystemText(error)};
    } else {
        openError_ = {};
    }
    return reinterpret_cast<ComHandleValue>(h);
}

bool Win32SerialDevice::CloseHandle(ComHandleValue h) {
    if (h == lostHandle_) lostHandle_ = kNullHandle;  // a later handle may carry the same value
    return Usable(h) && ::CloseHandle(Native(h));
}

bool Win32SerialDevice::GetCommState(ComHandleValue h, Dcb& dcb) {
    if (!Usable(h)) return false;
    DCB d{};
    d.DCBlength = sizeof d;
    if (!::GetCommState(Native(h), &d)) return false;
    dcb.Raw.fill(0);
    std::memcpy(dcb.Raw.data(), &d, sizeof d);
    dcb.BaudRate = d.BaudRate;
    dcb.ByteSize = d.ByteSize;
    dcb.Parity = d.Parity;
    dcb.StopBits = d.StopBits;
    return true;
}

bool Win32SerialDevice::SetCommState(ComHandleValue h, const Dcb& dcb) {
    if (!Usable(h)) return false;
    DCB before{};
    before.DCBlength = sizeof before;
    if (!::GetCommState(Native(h), &before)) return false;
    // Every field the writer does not name goes back as the driver reported it.
    DCB d;
    std::memcpy(&d, dcb.Raw.data(), sizeof d);
    d.DCBlength = sizeof d;
    d.BaudRate = dcb.BaudRate;
    d.ByteSize = dcb.ByteSize;
    d.Parity = dcb.Parity;
    d.StopBits = dcb.StopBits;
    if (!::SetCommState(Native(h), &d)) return false;
    // The rate goes to the driver as a number. One that takes a rate it cannot make and
    // keeps another (wine on a terminal without custom rates) is put back and refused.
    DCB now{};
    now.DCBlength = sizeof now;
    if (::GetCommState(Native(h), &now) && now.BaudRate == d.BaudRate) return true;
    ::SetCommState(Native(h), &before);
    return false;
}

bool Win32SerialDevice::SetupComm(ComHandleValue h, std::uint32_t inQueue, std::uint32_t outQueue) {
    return Usable(h) && ::SetupComm(Native(h), inQueue, outQueue);
}

bool Win32SerialDevice::PurgeReceive(ComHandleValue h) {
    if (!Usable(h)) return false;
    if (::PurgeComm(Native(h), PURGE_RXCLEAR)) return true;
    Failed(h);
    return false;
}

std::uint32_t Win32SerialDevice::BytesWaiting(ComHandleValue h) {
    if (!Usable(h)) return 0;
    DWORD errors = 0;  // line errors are cleared by the call and otherwise ignored
    COMSTAT stat{};
    if (!::ClearCommError(Native(h), &errors, &stat)) return Failed(h), 0;
    return stat.cbInQue;
}

std::size_t Win32SerialDevice::Read(ComHandleValue h, std::uint8_t* buf, std::size_t n) {
    // Without time-outs a ReadFile for more than has arrived would block the window thread
    // until the rest came; ask only for what is already there.
    n = std::min<std::size_t>(n, BytesWaiting(h));
    if (n == 0) return 0;
    DWORD got = 0;
    if (!::ReadFile(Native(h), buf, static_cast<DWORD>(n), &got, nullptr)) return Failed(h), 0;
    return got;
}

std::size_t Win32SerialDevice::Write(ComHandleValue h, const std::uint8_t* buf, std::size_t n) {
    if (!Usable(h) || n == 0) return 0;
    DWORD written = 0;
    if (!::WriteFile(Native(h), buf, static_cast<DWORD>(n), &written, nullptr)) return Failed(h), 0;
    return written;
}

bool Win32SerialDevice::EscapeCommFunction(ComHandleValue h, Escape code) {
    return Usable(h) && ::EscapeCommFunction(Native(h), static_cast<DWORD>(code));
}

}  // namespace h8sx::win32
