// What the command line needs from the operating system beyond the core's Platform and
// serial port: the console, the stop signals, key input and the pump's sleep. One file
// per system implements it (SystemPosix.cpp, SystemWin32.cpp).
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/Platform.h"
#include "serial/SerialDevice.h"

namespace h8sx::cli {

// The command line's arguments in UTF-8.
std::vector<std::string> Arguments(int argc, char** argv);

std::unique_ptr<SerialDevice> NewSerialDevice();
std::unique_ptr<Platform> NewPlatform();

// The name the serial layer opens for what the operator typed: "COMn" (any n) as the
// windows name it, a device path unchanged.
std::string PortDevice(const std::string& name);

// Console output in UTF-8 while the program runs; the console's own code page comes back at
// every exit (a no-op where output is always UTF-8).
void UseUtf8Console();
bool StdinIsTerminal();
bool StderrIsTerminal();

// Ctrl-C and termination (SIGINT/SIGTERM; on Windows also the console's close) set the
// stop request instead of ending the process.
void InstallStopHandlers();
bool StopRequested();

// The system's serial port, sending nothing more after a stop: a RAM write, which has no
// exchanges to stop at, ends its stream there.
template <class Port>
class StoppableSerial : public Port {
   public:
    std::size_t Write(ComHandleValue h, const std::uint8_t* buf, std::size_t n) override {
        return StopRequested() ? 0 : Port::Write(h, buf, n);
    }
};

// Whether a sleep can be woken by a byte on the port; when not, a wait that watches the
// port sleeps a millisecond at a time.
bool PortWakesSleep();
// Sleeps up to `max`; a byte arriving on the open port (`wakeOnPort`), input on standard
// input (`wakeOnInput`) or a stop request ends it early.
void Sleep(SerialDevice& port, std::chrono::microseconds max, bool wakeOnPort, bool wakeOnInput);

// Standard input for the monitor: a terminal in raw mode (restored by the destructor, and
// on a stop signal), or whatever a pipe or file brings.
class KeyInput {
   public:
    KeyInput();
    ~KeyInput();
    KeyInput(const KeyInput&) = delete;
    KeyInput& operator=(const KeyInput&) = delete;

    bool Terminal() const { return terminal_; }
    // The bytes that have come since the last call, without waiting; Ended() once a pipe
    // or file has nothing more.
    std::string Take();
    bool Ended() const { return ended_; }

   private:
    bool terminal_ = false;
    bool ended_ = false;
};

}  // namespace h8sx::cli
