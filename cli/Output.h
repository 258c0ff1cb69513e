// What h8sx prints on standard error: the status texts the window would show, each as a
// line with the seconds since the start, the programming's progress, and errors.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace h8sx::cli {

class Output {
   public:
    // `live`: standard error is a terminal, so progress is one line rewritten in place;
    // otherwise a line every 10 %.
    Output(bool quiet, bool live);

    bool Quiet() const { return quiet_; }
    // A status text; the same text again (every acknowledged block shows it) is not repeated.
    void Status(const std::string& utf8);
    const std::string& LastStatus() const { return lastStatus_; }
    void Progress(std::uint32_t done, std::uint32_t total, bool skipped);
    std::uint32_t Skipped() const { return skipped_; }
    // A line of its own, unless quiet.
    void Note(const std::string& utf8);
    // "h8sx: ..." always.
    void Error(const std::string& utf8);

   private:
    void EndLiveLine();
    void Line(const std::string& utf8);
    double Seconds() const;

    using Clock = std::chrono::steady_clock;
    const bool quiet_;
    const bool live_;
    const Clock::time_point start_ = Clock::now();
    std::string lastStatus_;
    bool liveLineOpen_ = false;
    Clock::time_point firstBlock_{};
    Clock::time_point lastDrawn_{};
    std::uint32_t sent_ = 0;
    std::uint32_t skipped_ = 0;
    int lastTenth_ = -1;
};

}  // namespace h8sx::cli
