// The virtual board on a pseudo-terminal: the board sits at the master end, the writer
// (or any terminal program) opens the terminal end as its serial port.
//
// A pseudo-terminal has no modem lines, so the board cannot see DTR and RTS. Instead an
// open of the terminal end by a program that did not have it open counts as a reset, and
// the first byte afterwards chooses the start (Board::PortReopened). The bit rate the
// writer has set, custom rates included, is read from the terminal settings, which the
// master end shares: bytes sent at a rate more than 1 % away from the one the other side
// listens at arrive garbled, in both directions.
#pragma once

#include <signal.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/Board.h"

namespace h8sx::sim {

struct PtyHostOptions {
    // Deliver bytes no faster than the line allows (10 bits a byte at the rate in force).
    bool pace = false;
    // Every byte in both directions and every event, one line each; may be null.
    std::FILE* log = nullptr;
};

class PtyHost {
public:
    PtyHost(Board& board, PtyHostOptions options);
    ~PtyHost();
    PtyHost(const PtyHost&) = delete;
    PtyHost& operator=(const PtyHost&) = delete;

    // Creates the pseudo-terminal; false, with the reason in `error`, when it cannot.
    bool Open(std::string& error);
    // The terminal end that the writer opens, e.g. /dev/pts/3.
    const std::string& TerminalPath() const { return terminalPath_; }

    // Serves the line until `stop` is set (by a signal handler) or the host clock reaches
    // `deadline`. Signals that set `stop` should be blocked outside this call: it sleeps
    // with `sleepMask` in force, so that they are taken only while it sleeps.
    void Serve(const volatile std::sig_atomic_t& stop, std::optional<std::uint64_t> deadline,
               const sigset_t& sleepMask);

    // Microseconds since the host was created: the board's clock.
    std::uint64_t Now() const;
    // Writes out what the log holds so far.
    void FlushLog();
    // An event of the host's own (the port opened, bytes dropped) in the log.
    void LogEvent(std::uint64_t micros, const std::string& text);

private:
    struct InFlight {
        std::uint64_t at;  // when it has crossed the line
        std::uint8_t byte;
        std::uint32_t rate;  // the rate it was sent at
    };

    void Step(std::uint64_t now);
    void TrackOpeners(std::uint64_t now);
    void ReadNotifications(std::vector<std::uint32_t>& events);
    void ReadFromHost(std::uint64_t now);
    void DeliverToBoard(std::uint64_t now);
    void QueueBoardOutput();
    void WriteToHost(std::uint64_t now);
    std::optional<std::uint64_t> NextDue() const;
    void Sleep(std::uint64_t now, std::optional<std::uint64_t> deadline, const sigset_t& sleepMask);

    // The host's rates as its terminal settings stand: what it sends at, and what it
    // listens at.
    std::uint32_t HostSendRate() const;
    std::uint32_t HostListenRate() const;
    void LogLine(std::uint64_t micros, const char* what, const std::string& text);
    void LogBoardEntry(const LogEntry& entry);

    Board& board_;
    PtyHostOptions options_;
    std::uint64_t start_ = 0;
    int master_ = -1;
    std::string terminalPath_;

    // Who has the terminal end open. With inotify every open and close of the terminal
    // end is counted, so that a close followed at once by an open is still seen; without
    // it the master's hang-up state tells, at the price of missing a quick reopen.
    int notify_ = -1;
    int openers_ = 0;
    bool hostThere_ = false;
    bool hangUp_ = false;

    std::deque<InFlight> toBoard_, toHost_;
    std::uint64_t toBoardFreeNanos_ = 0, toHostFreeNanos_ = 0;  // when the line is free, each way
    bool writeBlocked_ = false;  // the terminal end's input queue is full
};

}  // namespace h8sx::sim
