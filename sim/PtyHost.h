// The virtual board on a pseudo-terminal: the board sits at the master end, the writer
// (or any terminal program) opens the terminal end as its serial port.
//
// A pseudo-terminal has no modem lines, so the board cannot see DTR and RTS. Instead an
// open of the terminal end by a program that did not have it open counts as a reset, and
// the first byte afterwards chooses the start (Board::PortReopened). The bit rate the
// writer has set, custom rates included, is read from the terminal settings, which the
// master end shares: bytes sent at a rate further from the one the other side listens at
// than the SCI's receive margin arrive garbled, in both directions.
//
// The line may also flip bits (noise, from a seeded generator) and hold the board's bytes
// back as a USB adapter's latency timer does. One process may play several boards, each
// on a pseudo-terminal of its own, served by one event loop (ServeStation).
#pragma once

#include <poll.h>
#include <signal.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/Board.h"
#include "sim/LineNoise.h"

namespace h8sx::sim {

struct PtyHostOptions {
    // Deliver bytes no faster than the line allows (10 bits a byte at the rate in force).
    bool pace = false;
    // Every byte in both directions and every event, one line each; may be null.
    std::FILE* log = nullptr;
    // Each data bit on the line flips with this probability, in both directions; the
    // flips come from `noiseSeed` (host to board) and the seed after it (board to host).
    double bitErrorRate = 0;
    std::uint64_t noiseSeed = 1;
    // The board's bytes wait, as in a USB adapter, until this long after the first of them
    // or until 62 of them fill a packet; 0: they pass at once.
    std::uint64_t latencyMicros = 0;
    // The clock's zero, from Clock(): the boards of one station share it.
    std::uint64_t epoch = 0;
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

    // One look at the line: openers, bytes both ways, the board's timed work.
    void Step(std::uint64_t now);
    // What to sleep on until the next Step: the descriptors to watch are added to `fds`,
    // and `wake` is brought forward to when this board next has something due.
    void PrepareSleep(std::uint64_t now, std::vector<pollfd>& fds, std::optional<std::uint64_t>& wake) const;

    // The monotonic clock in microseconds, and the time since the epoch: the board's clock.
    static std::uint64_t Clock();
    std::uint64_t Now() const;
    // Writes out what the log holds so far.
    void FlushLog();
    // An event of the host's own (the port opened, bytes dropped) in the log.
    void LogEvent(std::uint64_t micros, const std::string& text);

private:
    struct InFlight {
        std::uint64_t at;  // when it has crossed the line
        std::uint8_t byte;
        std::uint32_t rate;   // the rate it was sent at
        std::uint8_t flips = 0;  // the bits noise flips on the way
    };

    void TrackOpeners(std::uint64_t now);
    void ReadNotifications(std::vector<std::uint32_t>& events);
    void ReadFromHost(std::uint64_t now);
    void DeliverToBoard(std::uint64_t now);
    void QueueBoardOutput();
    void WriteToHost(std::uint64_t now);
    // How many of the bytes to the host may be written at `now`, the adapter's latency timer
    // and packets counted.
    std::size_t DueToHost(std::uint64_t now) const;
    std::optional<std::uint64_t> NextDue() const;

    // The host's rates as its terminal settings stand: what it sends at, and what it
    // listens at.
    std::uint32_t HostSendRate() const;
    std::uint32_t HostListenRate() const;
    void LogLine(std::uint64_t micros, const char* what, const std::string& text);
    void LogBoardEntry(const LogEntry& entry);

    Board& board_;
    PtyHostOptions options_;
    int master_ = -1;
    std::string terminalPath_;
    LineNoise noiseToBoard_, noiseToHost_;

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

// Serves the boards of a station, hosts of one epoch, until `stop` is set (by a signal
// handler) or their clock reaches `deadline`: one loop over every board's terminal, sleeping until one of them has
// something to do. Signals that set `stop` should be blocked outside this call: it sleeps
// with `sleepMask` in force, so that they are taken only while it sleeps.
void ServeStation(const std::vector<PtyHost*>& hosts, const volatile std::sig_atomic_t& stop,
                  std::optional<std::uint64_t> deadline, const sigset_t& sleepMask);

}  // namespace h8sx::sim
