#include "cli/Output.h"

#include <cstdio>

namespace h8sx::cli {

namespace {
constexpr auto kRedraw = std::chrono::milliseconds(200);  // a live line is redrawn at most this often
}

Output::Output(bool quiet, bool live) : quiet_(quiet), live_(live) {}

double Output::Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

void Output::EndLiveLine() {
    if (!liveLineOpen_) return;
    std::fputc('\n', stderr);
    liveLineOpen_ = false;
}

void Output::Line(const std::string& utf8) {
    EndLiveLine();
    std::fprintf(stderr, "%7.2f %s\n", Seconds(), utf8.c_str());
    std::fflush(stderr);
}

void Output::Status(const std::string& utf8) {
    if (utf8 == lastStatus_) return;
    lastStatus_ = utf8;
    if (!quiet_) Line(utf8);
}

void Output::Note(const std::string& utf8) {
    if (!quiet_) Line(utf8);
}

void Output::Error(const std::string& utf8) {
    EndLiveLine();
    std::fprintf(stderr, "h8sx: %s\n", utf8.c_str());
    std::fflush(stderr);
}

void Output::Progress(std::uint32_t done, std::uint32_t total, bool skipped) {
    const auto now = Clock::now();
    if (done == 1) firstBlock_ = now;
    if (skipped)
        ++skipped_;
    else
        ++sent_;
    if (quiet_ || total == 0) return;

    const int percent = static_cast<int>(std::uint64_t{done} * 100 / total);
    // Bytes on the line: the blocks sent since the first, as a rate of the time they took.
    const double elapsed = std::chrono::duration<double>(now - firstBlock_).count();
    const double rate = elapsed > 0 ? (sent_ > 1 ? (sent_ - 1) * 128.0 / elapsed : 0) : 0;
    const double perBlock = done > 1 && elapsed > 0 ? elapsed / (done - 1) : 0;
    const double left = perBlock * (total - done);
    char text[160];
    std::snprintf(text, sizeof text, "%3d %%  %u/%u blocks  %.0f B/s  %.0f s left", percent, done, total,
                  rate, left);

    if (live_) {
        if (done != total && now - lastDrawn_ < kRedraw) return;
        lastDrawn_ = now;
        std::fprintf(stderr, "\r%7.2f %-60s", Seconds(), text);
        std::fflush(stderr);
        liveLineOpen_ = true;
        if (done == total) EndLiveLine();
        return;
    }
    const int tenth = percent / 10;
    if (tenth == lastTenth_) return;
    lastTenth_ = tenth;
    Line(text);
}

}  // namespace h8sx::cli
