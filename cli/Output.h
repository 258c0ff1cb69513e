// What h8sx prints on standard error: the status texts the window would show, each as a
// line with the seconds since the start, the programming's progress, and errors. Every
// write is checked: once standard error cannot be written (a closed pipe, a full disk),
// Failed() says so and the command ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace h8sx::cli {

// A stream that could not be written: which, and the system's reason.
struct WriteFailure {
    int error = 0;  // errno; EPIPE: its reader has gone
    std::string what;
    explicit operator bool() const { return error != 0; }
    std::string Text() const;
};

// Writes `n` bytes and flushes them; false (with `failure` filled in) when the stream
// does not take them.
bool WriteAll(std::FILE* stream, const char* what, const void* bytes, std::size_t n, WriteFailure& failure);

// What a board's command reports, for a station's view of many boards.
struct Report {
    enum class Kind : std::uint8_t { Stage, Progress, Error };
    Kind kind;
    std::string text;  // a stage's name or an error
    std::uint32_t done = 0, total = 0;
};

class Output {
   public:
    // `live`: standard error is a terminal, so progress is one line rewritten in place,
    // never wider than the terminal's `columns` (0: not known); otherwise a line every 10 %.
    Output(bool quiet, bool live, std::FILE* err = stderr, std::function<int()> columns = {});

    // One of many boards: its lines start with `prefix` ("COM3: "), and `report` sees its
    // stages, progress and errors; with `print` false nothing is printed (a table shows the
    // board instead).
    void OneOfMany(std::string prefix, std::function<void(const Report&)> report, bool print);

    bool Quiet() const { return quiet_; }
    // The stage a board's command is at ("matching", "erase", ...), for the view.
    void Stage(const std::string& name);
    // A status text; the same text again (every acknowledged block shows it) is not repeated.
    void Status(const std::string& utf8);
    const std::string& LastStatus() const { return lastStatus_; }
    // Every error said so far, for a board's row in the production log.
    const std::vector<std::string>& Errors() const { return errors_; }
    void Progress(std::uint32_t done, std::uint32_t total, bool skipped);
    // A line of its own, unless quiet.
    void Note(const std::string& utf8);
    // "h8sx: ..." always.
    void Error(const std::string& utf8);
    // Ends a live progress line, so that what follows starts on a line of its own.
    void EndLiveLine();

    bool Failed() const { return static_cast<bool>(failure_); }
    const WriteFailure& Failure() const { return failure_; }

   private:
    void Line(const std::string& utf8);
    void Put(const std::string& text);
    double Seconds() const;

    using Clock = std::chrono::steady_clock;
    const bool quiet_;
    const bool live_;
    std::FILE* const err_;
    const Clock::time_point start_ = Clock::now();
    WriteFailure failure_;
    std::string lastStatus_;
    std::vector<std::string> errors_;
    bool liveLineOpen_ = false;
    Clock::time_point firstBlock_{};
    Clock::time_point lastDrawn_{};
    std::uint32_t sent_ = 0;
    int lastTenth_ = -1;
    std::function<int()> columns_;
    std::string prefix_;
    std::function<void(const Report&)> report_;
    bool print_ = true;
    std::size_t drawnWidth_ = 0;  // of the live line last drawn
};

}  // namespace h8sx::cli
