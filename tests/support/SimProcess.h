// h8sx-sim started as a process of its own, for tests of the real serial layer: the path
// of its terminal end, and its end (SIGTERM) with the exit status it gave.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/PosixSerial.h"

namespace h8sx::test {

class SimProcess {
public:
    // Starts h8sx-sim with `args` and waits for the first `terminals` lines of its output.
    explicit SimProcess(const std::vector<std::string>& args = {}, std::size_t terminals = 1);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // False when it did not start or printed fewer paths.
    bool Started() const { return !paths_.empty(); }
    std::string TerminalPath() const { return paths_.empty() ? std::string() : paths_.front(); }
    const std::vector<std::string>& TerminalPaths() const { return paths_; }

    // Ends it with SIGTERM (unless it has ended already) and returns its exit status, or
    // -1 when it did not exit normally.
    int Stop();
    // Waits for it to end by itself; its exit status, or -1.
    int Wait();
    pid_t Pid() const { return pid_; }

    // Where the program is: set by the build.
    static std::string Program();

private:
    pid_t pid_ = -1;
    std::vector<std::string> paths_;
};

// A line of h8sx-sim's log: "<seconds>.<micros> <what> <text>", `what` being host>board,
// board>host or event.
struct SimLogLine {
    std::uint64_t micros = 0;
    std::string what;
    std::string text;  // for bytes: "<hex> <rate>[ garbled ...]"
};
std::vector<SimLogLine> ReadSimLog(const std::string& path);

// Reads from the port until `n` bytes have come, or nothing more has come for `quiet`;
// what came.
std::vector<std::uint8_t> ReadBytes(posix::PosixSerialDevice& device, ComHandleValue h, std::size_t n,
                                    std::chrono::milliseconds quiet = std::chrono::milliseconds(2000));

}  // namespace h8sx::test
