// A station: one command on many boards at once, a session of the core's operation for each
// port (a thread each, asleep on its own port between bytes), board after board where asked.
// What the boards share stays here: the view of them all, the rounds, the stop. One port is
// a station of one, whose view is the session's own output.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Session.h"

namespace h8sx::cli {

// One port of a station, as its sessions report it and the view shows it.
struct BoardState {
    std::string port;   // as given
    std::string label;  // the port and, where it says more, its device: "COM3 (ttyUSB0)"
    std::string stage;  // "matching", "programming", "done", "no board (3)", ...
    std::uint32_t done = 0, total = 0;
    std::chrono::steady_clock::time_point started{};
    double seconds = 0;  // of the board last run, once it has ended
    bool running = false;
    int status = -1;                  // of the board last run; -1: none yet
    std::vector<std::string> errors;  // of the board last run
    unsigned boardsDone = 0, boardsFailed = 0;
    int firstFailure = 0;  // the status of this port's first failed board
};

class Station {
   public:
    // What runs for each board, on its session; the exit status it ends with.
    using Board = std::function<int(Session&)>;

    explicit Station(const Options& options);

    // The ports as given; nothing (the window's settings choose) when none was. A usage
    // error, said, when two of them name one device.
    bool Ports(std::string& error);

    // `board` on every port at once; with --repeat, round after round, or board after board
    // as each port's boards come and go. The status of the first port, in the order given,
    // whose board failed; 0 when every board is done.
    int Run(const Board& board);

    // A board's sessions ask this before each board: a station told to stop (a log that
    // cannot be written) starts no more boards.
    void StopBeforeNextBoard(const std::string& why);
    bool StoppingBeforeNextBoard();

   private:
    int RunOnce(const Board& board, bool onlyWhereABoardAnswers);
    int RunRounds(const Board& board);
    int RunAuto(const Board& board);
    // One port's session on this thread, its output as the station shows it.
    int OnPort(std::size_t index, const Board& board, bool onlyWhereABoardAnswers);
    void AutoPort(std::size_t index, const Board& board);
    // A board's output, as the station shows it: prefixed lines, or reports to the table.
    Output BoardOutput(std::size_t index);
    // A board's row as its board begins.
    void Starting(std::size_t index, const std::string& stage);
    void Report(std::size_t index, const cli::Report& report);
    void Ended(std::size_t index, int status);
    // `work` for every port at once, a thread each, while the view watches them.
    void OnEveryPort(const std::function<void(std::size_t)>& work, bool takeKeys);
    // The view while boards run: the table redrawn, keys taken; returns when `done` says so.
    void Watch(const std::function<bool()>& done, bool takeKeys);
    void DrawTable(bool final);
    void Summary();
    int Status();

    const Options& options_;
    std::vector<std::optional<std::string>> ports_;
    bool table_ = false;  // a live table on a terminal; else each board's lines, prefixed
    std::mutex mutex_;
    std::vector<BoardState> boards_;
    std::string stopWhy_;
    bool stop_ = false;        // no more boards (a log, a key)
    std::string prompt_;       // under the table: what a key does now
    std::size_t drawnLines_ = 0;
    Output out_;  // the station's own lines: the summary, a prompt
};

}  // namespace h8sx::cli
