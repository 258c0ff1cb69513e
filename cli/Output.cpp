#include "cli/Output.h"

#include <cerrno>
#include <algorithm>
#include <cstring>

namespace h8sx::cli {

namespace {
constexpr auto kRedraw = std::chrono::milliseconds(200);  // a live line is redrawn at most this often

std::string Format(const char* format, double seconds, const std::string& text) {
    char buf[32];
    std::snprintf(buf, sizeof buf, format, seconds);
    return buf + text;
}
}  // namespace

std::string WriteFailure::Text() const { return "cannot write " + what + ": " + std::strerror(error); }

bool WriteAll(std::FILE* stream, const char* what, const void* bytes, std::size_t n, WriteFailure& failure) {
    if (failure) return false;
    errno = 0;
    if (std::fwrite(bytes, 1, n, stream) == n && std::fflush(stream) == 0) return true;
    failure.error = errno != 0 ? errno : EIO;
    failure.what = what;
    return false;
}

Output::Output(bool quiet, bool live, std::FILE* err, std::function<int()> columns)
    : quiet_(quiet), live_(live), err_(err), columns_(std::move(columns)) {}

double Output::Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

void Output::Put(const std::string& text) { WriteAll(err_, "standard error", text.data(), text.size(), failure_); }

void Output::EndLiveLine() {
    if (!liveLineOpen_) return;
    liveLineOpen_ = false;
    Put("\n");
}

void Output::OneOfMany(std::string prefix, std::function<void(const Report&)> report, bool print) {
    prefix_ = std::move(prefix);
    report_ = std::move(report);
    print_ = print;
}

void Output::Line(const std::string& utf8) {
    EndLiveLine();
    Put(prefix_ + Format("%7.2f ", Seconds(), utf8 + "\n"));
}

void Output::Stage(const std::string& name) {
    if (report_) report_({Report::Kind::Stage, name});
}

void Output::Status(const std::string& utf8) {
    if (utf8 == lastStatus_) return;
    lastStatus_ = utf8;
    if (!quiet_ && print_) Line(utf8);
}

void Output::Note(const std::string& utf8) {
    if (!quiet_ && print_) Line(utf8);
}

void Output::Error(const std::string& utf8) {
    errors_.push_back(utf8);
    if (report_) report_({Report::Kind::Error, utf8});
    if (!print_) return;
    EndLiveLine();
    // Each line of a long error starts with the board's name too.
    std::string text = utf8;
    for (std::size_t at = 0; !prefix_.empty() && (at = text.find('\n', at)) != std::string::npos; at += 1 + prefix_.size())
        text.insert(at + 1, prefix_);
    Put(prefix_ + "h8sx: " + text + "\n");
}

void Output::Progress(std::uint32_t done, std::uint32_t total, bool skipped) {
    const auto now = Clock::now();
    if (done == 1) firstBlock_ = now;
    if (!skipped) ++sent_;
    if (report_) report_({Report::Kind::Progress, {}, done, total});
    if (quiet_ || !print_ || total == 0) return;

    const int percent = static_cast<int>(std::uint64_t{done} * 100 / total);
    // Bytes on the line: the blocks sent since the first, as a rate of the time they took.
    const double elapsed = std::chrono::duration<double>(now - firstBlock_).count();
    const double rate = elapsed > 0 ? (sent_ > 1 ? (sent_ - 1) * 128.0 / elapsed : 0) : 0;
    const double perBlock = done > 1 && elapsed > 0 ? elapsed / (done - 1) : 0;
    const double left = perBlock * (total - done);
    // The rate and the time left once two blocks have shown them.
    char text[160];
    int n = std::snprintf(text, sizeof text, "%3d %%  %u/%u blocks", percent, done, total);
    if (rate > 0) n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "  %.0f B/s", rate);
    if (perBlock > 0) std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "  %.0f s left", left);

    if (live_) {
        if (done != total && now - lastDrawn_ < kRedraw) return;
        lastDrawn_ = now;
        std::string line = Format("%7.2f ", Seconds(), text);
        // Blanks over what a longer line drew before; never as wide as the terminal, where
        // the cursor would wrap to a line of its own.
        const std::size_t drawn = line.size();
        if (line.size() < drawnWidth_) line.append(drawnWidth_ - line.size(), ' ');
        const int columns = columns_ ? columns_() : 0;
        if (columns > 1 && line.size() >= static_cast<std::size_t>(columns)) line.resize(static_cast<std::size_t>(columns - 1));
        drawnWidth_ = std::min(drawn, line.size());
        Put("\r" + line);
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
