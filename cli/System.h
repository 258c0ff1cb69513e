// What the command line needs from the operating system beyond the core's Platform and
// serial port: the console, the stop signals, key input and the pump's sleep. One file
// per system implements it (SystemPosix.cpp, SystemWin32.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Platform.h"
#include "serial/SerialDevice.h"

namespace h8sx::cli {

// The command line's arguments in UTF-8.
std::vector<std::string> Arguments(int argc, char** argv);

// The system's serial port, and the descriptor a sleep can wait on for its input (-1:
// none open, or a system whose ports offer none).
struct SystemSerial {
    std::unique_ptr<SerialDevice> device;
    std::function<int()> waitDescriptor;
};
SystemSerial NewSerialDevice();
std::unique_ptr<Platform> NewPlatform();

// The name the serial layer opens for what the operator typed: "COMn" (any n) as the
// windows name it, a device path unchanged.
std::string PortDevice(const std::string& name);
// The device that name stands for, for messages: "COM2" is /dev/serial/by-id/... on
// Linux; empty when it is the name itself.
std::string PortDeviceShown(const std::string& name);

// Where that device came from, when not from the windows' own port table: "H8SX_COM1".
std::string PortDeviceOrigin(const std::string& name);
// What the device a port name opens is, whatever the name: two names of one device give
// the same (COM3 and the by-id path it leads to, on Linux).
std::string DeviceIdentity(const std::string& name);
// The device, short, for a station's table ("ttyUSB0"); empty where it says nothing more
// than the name.
std::string DeviceShortName(const std::string& name);
// The USB adapter behind a device, by the name the system knows it by (its by-id name on
// Linux); empty where there is none.
std::string AdapterName(const std::string& name);

// What the operator can do about a port that would not open (`device`: what was opened);
// empty where there is nothing to add to the system's reason.
std::string OpenFailureRemedy(const OpenError& error, const std::string& device);

// Files that several stations share: the serial number counter and the production log.
// Each call returns the system's reason when it failed, else nothing (empty).
//
// Reads a file whole; nothing, with `error` said, when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path, std::string& error);
// Under an exclusive lock on `path`.lock beside it (waited for): `update` gets the file's
// content and returns what replaces it, or nothing to leave it. The replacement is written
// to a file of its own, to the disk, and renamed over the file, so that it is whole or not
// there after a crash.
std::string UpdateFileLocked(const std::string& path,
                             const std::function<std::optional<std::string>(const std::string&)>& update);
// Whether a line could be appended to the file at `path` (created where missing): the
// system's reason when not, else empty.
std::string CanAppend(const std::string& path);
// Appends `line` (a whole line) to the file at `path`, created where missing, in one write
// under an exclusive lock on the file (waited for), after `header` when the file is empty,
// and writes it through to the disk before it returns.
std::string AppendLocked(const std::string& path, const std::string& header, const std::string& line);

// The local time of `t`, for the production log's times.
void LocalTime(std::time_t t, std::tm& local);
// This machine's name.
std::string HostName();

// Console output in UTF-8 while the program runs; the console's own code page comes back at
// every exit (a no-op where output is always UTF-8).
void UseUtf8Console();
bool StdinIsTerminal();
// Standard output takes bytes as they are (no line-end translation where the system has it).
void UseBinaryStdout();
// Standard output is a pipe whose reader has gone (noticed without writing to it: a
// silent board gives the monitor nothing to write).
bool StdoutReaderGone();
bool StderrIsTerminal();
// The width of the terminal standard error shows on; 0 when not known.
int StderrColumns();

// Ctrl-C and termination (SIGINT/SIGTERM; on Windows also the console's close) set the
// stop request instead of ending the process.
void InstallStopHandlers();
bool StopRequested();
// Asks for the stop as Ctrl-C does (a Ctrl-C read as a key from a raw terminal).
void RequestStop();
// Standard error takes the terminal's cursor and erase sequences (on Windows once asked).
bool UseTerminalSequences();
// Sleeps up to `max`, or until standard input has something (`forInput`) or a stop comes.
void WaitForInput(bool forInput, std::chrono::milliseconds max);

// What a stop request wakes: each pump (one per board of a station) has its own, so that
// one stop wakes the sleep of every board once.
class StopWaker {
   public:
    StopWaker();
    ~StopWaker();
    StopWaker(const StopWaker&) = delete;
    StopWaker& operator=(const StopWaker&) = delete;

    // The descriptor (a pipe's read end) or the event handle a sleep waits on; -1: none.
    std::intptr_t Handle() const { return handle_; }
    // Takes the wake-up, so that the next sleep sleeps again.
    void Drain() const;

   private:
    int slot_ = -1;
    std::intptr_t handle_ = -1;
};

// Sleeps up to `max` (nothing when it is not positive); a byte arriving on the port's
// descriptor `portFd` (-1: none to wait on), input on standard input (`wakeOnInput`) or
// a stop request (through `waker`) ends it early.
void Sleep(int portFd, std::chrono::microseconds max, bool wakeOnInput, const StopWaker& waker);

// Standard input for the monitor: a terminal in raw mode (restored by the destructor, and
// on a stop signal), or whatever a pipe or file brings.
class KeyInput {
   public:
    // `take` false: nothing is taken (and the terminal left as it is).
    explicit KeyInput(bool take = true);
    ~KeyInput();
    KeyInput(const KeyInput&) = delete;
    KeyInput& operator=(const KeyInput&) = delete;

    bool Terminal() const { return terminal_; }
    // At most `most` of the bytes that have come since the last call, without waiting;
    // Ended() once a pipe or file has nothing more.
    std::string Take(std::size_t most);
    bool Ended() const { return ended_; }

   private:
    bool terminal_ = false;
    bool ended_ = false;
};

}  // namespace h8sx::cli
