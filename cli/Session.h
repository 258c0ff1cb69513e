// One command's run of the core: the port, its countdown and its waits, the output, and
// the settings the window left. The command line's own pump sleeps between its ticks; an
// in-process test gives the session a pump on a virtual clock and a recording port.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/Platform.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "monitor/ReceiveText.h"
#include "serial/ComLink.h"
#include "serial/SerialDevice.h"

namespace h8sx::cli {

// The system's serial port, sending nothing more once a stop has been asked for: a RAM
// write, which has no exchanges to stop at, ends its stream there, and the board's restart
// (modem lines only) still goes out.
class StoppableDevice final : public SerialDevice {
public:
    StoppableDevice(SerialDevice& device, std::function<bool()> stopped)
        : device_(device), stopped_(std::move(stopped)) {}

    ComHandleValue CreateFile(const std::string& name) override { return device_.CreateFile(name); }
    bool CloseHandle(ComHandleValue h) override { return device_.CloseHandle(h); }
    bool GetCommState(ComHandleValue h, Dcb& dcb) override { return device_.GetCommState(h, dcb); }
    bool SetCommState(ComHandleValue h, const Dcb& dcb) override { return device_.SetCommState(h, dcb); }
    bool SetupComm(ComHandleValue h, std::uint32_t in, std::uint32_t out) override {
        return device_.SetupComm(h, in, out);
    }
    bool PurgeReceive(ComHandleValue h) override { return device_.PurgeReceive(h); }
    std::uint32_t BytesWaiting(ComHandleValue h) override { return device_.BytesWaiting(h); }
    std::size_t Read(ComHandleValue h, std::uint8_t* buf, std::size_t n) override { return device_.Read(h, buf, n); }
    std::size_t Write(ComHandleValue h, const std::uint8_t* buf, std::size_t n) override {
        return stopped_() ? 0 : device_.Write(h, buf, n);
    }
    bool EscapeCommFunction(ComHandleValue h, Escape code) override { return device_.EscapeCommFunction(h, code); }
    OpenError LastOpenError() const override { return device_.LastOpenError(); }
    bool Lost(ComHandleValue h) override { return device_.Lost(h); }

private:
    SerialDevice& device_;
    std::function<bool()> stopped_;
};

class Session {
public:
    // `pump` runs the waits; the caller has it call Tick() every 100 ms.
    Session(const Options& options, SerialDevice& device, Platform& platform, Pump& pump, Output& out);

    // The 100 ms tick: the countdown of every wait, and what the board's own program has
    // sent to whoever listens.
    void Tick();

    // Opens the port at `bitRate`, closing what is open; false, with the reason shown
    // (where `report`), when it cannot be opened.
    bool OpenPort(std::uint32_t bitRate, bool report = true);
    // Restarts the board into its own program.
    void RestartBoard();
    // Whether the command should end now: a stop asked for (Ctrl-C), the port gone, or an
    // output that cannot be written any more.
    bool Stopping() { return link.Interrupted() || out.Failed(); }
    // The status of a command that was stopped: the port gone (2), Ctrl-C (130), or an
    // output that could not be written (a pipe whose reader has gone: status 1; anything
    // else: the file status).
    int StoppedStatus();
    // The port for messages: "COM1 (/dev/ttyUSB0)".
    std::string PortShown() const;
    // What is said when the port has gone away under the command.
    std::string PortGone() const;

    // The board's own program's text, decoded, at every tick while set.
    std::function<void(const std::string&)> onReceived;
    // Whether the pump's sleeps also wake on standard input (the monitor's keys).
    std::function<void(bool)> watchInput;

    const Options& options;
    Platform& platform;
    Pump& pump;
    Output& out;
    std::int32_t TickCount = 0;
    ComLink link;
    // One board of several: its output starts each line with its port's name, and its
    // monitor takes no keys.
    bool oneOfMany = false;
    // The port as the operator named it, and where that name came from.
    std::string portName;
    std::string portOrigin;

private:
    ReceiveText decoder_;
};

// A session on the system's port, platform and clock, for one port of a command.
class SystemSession {
   public:
    // `options` for the board on `port` (nothing: the window's settings choose).
    SystemSession(const Options& options, std::optional<std::string> port, Output& out);
    ~SystemSession();
    SystemSession(const SystemSession&) = delete;
    SystemSession& operator=(const SystemSession&) = delete;
    Session& session() { return *session_; }

   private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
    Session* session_ = nullptr;
};

}  // namespace h8sx::cli
