#include "cli/Station.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "boot/BootDialogue.h"
#include "cli/System.h"
#include "serial/BitRates.h"

namespace h8sx::cli {

namespace {

using Clock = std::chrono::steady_clock;
// The table is redrawn, and keys looked at, this often.
constexpr auto kViewPeriod = std::chrono::milliseconds(100);
// --repeat=auto: each port asks for its board this often.
constexpr auto kAskPeriod = std::chrono::seconds(1);

// What a failed board's status says, in a few words, for its row.
const char* ShortFailure(int status) {
    switch (status) {
        case kUsage: return "output closed";
        case kPortNotOpened: return "port";
        case kNoBoard: return "no board";
        case kBootFailed: return "boot dialogue";
        case kFileFailed: return "file";
        case kTransferFailed: return "transfer";
        case kNotSeen: return "not seen";
        case kVerifyFailed: return "verify";
        case kInterrupted: return "interrupted";
        default: return "failed";
    }
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

// A line at most `columns - 1` wide, so that the cursor never wraps (UTF-8 counted by its
// characters, each taken as one column).
std::string Fit(const std::string& line, int columns) {
    if (columns <= 1) return line;
    const std::size_t most = static_cast<std::size_t>(columns - 1);
    std::size_t chars = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
        if (++chars > most) return line.substr(0, i);
    }
    return line;
}

std::string Pad(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

}  // namespace

Station::Station(const Options& options) : options_(options), out_(options.quiet, false) {}

bool Station::Ports(std::string& error) {
    for (const std::string& given : options_.ports) ports_.emplace_back(given);
    if (ports_.empty()) ports_.emplace_back(std::nullopt);
    // Two boards of one station on one device would fight over it.
    for (std::size_t i = 0; i < ports_.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (ports_[i] && ports_[j] && DeviceIdentity(*ports_[i]) == DeviceIdentity(*ports_[j])) {
                error = "--port " + *ports_[j] + " and --port " + *ports_[i] + " name the same device (" +
                        DeviceIdentity(*ports_[i]) + ")";
                return false;
            }
    boards_.resize(ports_.size());
    for (std::size_t i = 0; i < ports_.size(); ++i) {
        BoardState& b = boards_[i];
        b.port = ports_[i].value_or("");
        const std::string device = ports_[i] ? DeviceShortName(*ports_[i]) : std::string();
        b.label = b.port + (device.empty() ? "" : " (" + device + ")");
    }
    table_ = ports_.size() > 1 && !options_.quiet && StderrIsTerminal() && UseTerminalSequences();
    return true;
}

void Station::StopBeforeNextBoard(const std::string& why) {
    std::lock_guard lock(mutex_);
    if (stop_ && !stopWhy_.empty()) return;
    stop_ = true;
    stopWhy_ = why;
}

bool Station::StoppingBeforeNextBoard() {
    std::lock_guard lock(mutex_);
    return stop_ || StopRequested();
}

void Station::Report(std::size_t index, const cli::Report& r) {
    std::lock_guard lock(mutex_);
    BoardState& b = boards_[index];
    switch (r.kind) {
        case Report::Kind::Stage:
            b.stage = r.text;
            break;
        case Report::Kind::Progress:
            b.done = r.done;
            b.total = r.total;
            break;
        case Report::Kind::Error:
            b.errors.push_back(r.text);
            break;
    }
}

void Station::Ended(std::size_t index, int status) {
    std::lock_guard lock(mutex_);
    BoardState& b = boards_[index];
    b.running = false;
    b.status = status;
    b.seconds = std::chrono::duration<double>(Clock::now() - b.started).count();
    if (status == kDone) {
        ++b.boardsDone;
        b.stage = "done";
        return;
    }
    ++b.boardsFailed;
    if (b.firstFailure == 0) b.firstFailure = status;
    b.stage = std::string(status == kInterrupted ? "" : "failed: ") + ShortFailure(status) + " (" +
              std::to_string(status) + ")";
}

// Whether a board answers the bit-rate matching on the session's port, opened anew (a
// board that is not there says nothing: its port may be missing too).
bool BoardThere(Session& s) {
    if (!s.OpenPort(kMatchingBitRate, false)) return false;
    return BoardAnswersMatching(s.link);
}

Output Station::BoardOutput(std::size_t index) {
    const bool many = ports_.size() > 1;
    Output out(options_.quiet, !many && StderrIsTerminal(), stderr, StderrColumns);
    out.OneOfMany(many ? boards_[index].port + ": " : "", [this, index](const cli::Report& r) { Report(index, r); },
                  !table_);
    return out;
}

void Station::Starting(std::size_t index, const std::string& stage) {
    std::lock_guard lock(mutex_);
    BoardState& b = boards_[index];
    b.running = true;
    b.started = Clock::now();
    b.stage = stage;
    b.errors.clear();
    b.done = b.total = 0;
    b.status = -1;
}

int Station::OnPort(std::size_t index, const Board& board, bool onlyWhereABoardAnswers) {
    Output out = BoardOutput(index);
    SystemSession system(options_, ports_[index], out);
    Session& s = system.session();
    s.oneOfMany = ports_.size() > 1;
    Starting(index, onlyWhereABoardAnswers ? "asking for the board" : "");
    if (onlyWhereABoardAnswers && !BoardThere(s)) {
        std::lock_guard lock(mutex_);
        boards_[index].running = false;
        boards_[index].stage = "no board";
        return -1;
    }
    const int status = board(s);
    Ended(index, status);
    return status;
}

void Station::AutoPort(std::size_t index, const Board& board) {
    Output out = BoardOutput(index);
    SystemSession system(options_, ports_[index], out);
    Session& s = system.session();
    s.oneOfMany = ports_.size() > 1;
    const auto setStage = [&](const std::string& stage) {
        std::lock_guard lock(mutex_);
        boards_[index].stage = stage;
    };
    setStage("waiting for a board");
    // The board just written answers until it is taken away (each ask resets it into its
    // boot program, where it waits): only a board that came after a silence is written.
    bool written = false;
    while (!StoppingBeforeNextBoard()) {
        const bool there = BoardThere(s);
        if (written && !there) {
            written = false;
            setStage("waiting for a board");
        } else if (!written && there) {
            Starting(index, "");
            const int status = board(s);
            Ended(index, status);
            if (status == kInterrupted || s.out.Failed()) break;
            written = true;
            std::lock_guard lock(mutex_);
            boards_[index].stage += "; take the board away";
        }
        for (auto until = Clock::now() + kAskPeriod; Clock::now() < until && !StoppingBeforeNextBoard();)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void Station::DrawTable(bool final) {
    std::lock_guard lock(mutex_);
    const int columns = StderrColumns();
    std::size_t portWidth = 4;
    for (const BoardState& b : boards_) portWidth = std::max(portWidth, b.label.size());
    const bool repeat = options_.repeat != Options::Repeat::Off;
    std::vector<std::string> lines;
    lines.push_back(Pad("PORT", portWidth) + "  " + Pad("STAGE", 26) + Pad("PROGRESS", 20) + Pad("TIME", 8) +
                    (repeat ? "DONE  FAILED" : ""));
    for (const BoardState& b : boards_) {
        std::string stage = b.stage;
        if (b.running && b.stage == "programming" && b.total > 0)
            stage += " " + std::to_string(b.done) + "/" + std::to_string(b.total);
        std::string progress;
        if (b.total > 0) {
            const unsigned filled = static_cast<unsigned>(std::uint64_t{b.done} * 10 / b.total);
            char percent[16];
            std::snprintf(percent, sizeof percent, " %3u %%", static_cast<unsigned>(std::uint64_t{b.done} * 100 / b.total));
            progress = "[" + std::string(filled, '#') + std::string(10 - filled, '-') + "]" + percent;
        }
        const double seconds =
            b.running ? std::chrono::duration<double>(Clock::now() - b.started).count() : b.status >= 0 ? b.seconds : 0;
        std::string row = Pad(b.label, portWidth) + "  " + Pad(stage, 26) + Pad(progress, 20) +
                          Pad(b.running || b.status >= 0 ? Seconds(seconds) : "", 8);
        if (repeat) row += Pad(std::to_string(b.boardsDone), 6) + std::to_string(b.boardsFailed);
        lines.push_back(row);
    }
    if (!prompt_.empty() && !final) lines.push_back(prompt_);
    std::string text;
    if (drawnLines_ > 0) text += "\x1b[" + std::to_string(drawnLines_) + "A";
    for (const std::string& line : lines) text += "\r" + Fit(line, columns) + "\x1b[K\n";
    // A prompt drawn before and gone now leaves a blank line: cleared.
    for (std::size_t i = lines.size(); i < drawnLines_; ++i) text += "\x1b[K\n";
    if (drawnLines_ > lines.size()) text += "\x1b[" + std::to_string(drawnLines_ - lines.size()) + "A";
    drawnLines_ = lines.size();
    WriteFailure failure;
    WriteAll(stderr, "standard error", text.data(), text.size(), failure);
}

void Station::Watch(const std::function<bool()>& done, bool takeKeys) {
    KeyInput keys(takeKeys);
    for (;;) {
        if (table_) DrawTable(false);
        if (done()) break;
        if (takeKeys) {
            for (char c : keys.Take(64)) {
                if (c == 0x03) RequestStop();  // Ctrl-C, taken as a key by the raw terminal
                if (c == 'q' || c == 'Q' || c == 0x04 || c == 0x03) StopBeforeNextBoard({});
            }
            if (keys.Ended() && keys.Terminal()) StopBeforeNextBoard({});
        }
        WaitForInput(takeKeys, kViewPeriod);
    }
    if (table_) DrawTable(true);
}

void Station::OnEveryPort(const std::function<void(std::size_t)>& work, bool takeKeys) {
    std::vector<std::thread> threads;
    std::vector<int> finished(ports_.size(), 0);
    for (std::size_t i = 0; i < ports_.size(); ++i)
        threads.emplace_back([&, i] {
            work(i);
            std::lock_guard lock(mutex_);
            finished[i] = 1;
        });
    Watch(
        [&] {
            std::lock_guard lock(mutex_);
            return std::all_of(finished.begin(), finished.end(), [](int f) { return f != 0; });
        },
        takeKeys);
    for (std::thread& t : threads) t.join();
}

int Station::RunOnce(const Board& board, bool onlyWhereABoardAnswers) {
    if (ports_.size() == 1) return OnPort(0, board, onlyWhereABoardAnswers);
    OnEveryPort([&](std::size_t i) { OnPort(i, board, onlyWhereABoardAnswers); }, false);
    return Status();
}

int Station::RunRounds(const Board& board) {
    RunOnce(board, false);
    KeyInput keys(true);
    for (;;) {
        if (StoppingBeforeNextBoard()) break;
        const std::string ask = "Enter (or a foot switch): the next boards; q: end";
        if (table_) {
            {
                std::lock_guard lock(mutex_);
                prompt_ = ask;
            }
            DrawTable(false);
        } else {
            out_.Note(ask);
        }
        // A line from a pipe or a key from the terminal.
        bool next = false;
        while (!next && !StoppingBeforeNextBoard()) {
            for (char c : keys.Take(64)) {
                if (c == '\r' || c == '\n') next = true;
                if (c == 'q' || c == 'Q' || c == 0x04 || c == 0x03) StopBeforeNextBoard({});
            }
            if (keys.Ended()) StopBeforeNextBoard({});
            if (!next) WaitForInput(true, kViewPeriod);
        }
        {
            std::lock_guard lock(mutex_);
            prompt_.clear();
        }
        if (!next) break;
        RunOnce(board, true);
    }
    if (table_) DrawTable(true);
    return Status();
}

int Station::RunAuto(const Board& board) {
    if (!options_.quiet)
        out_.Note("each port asks for its board once a second; a new board is written when it answers. q ends");
    OnEveryPort([&](std::size_t i) { AutoPort(i, board); }, true);
    return Status();
}

int Station::Run(const Board& board) {
    int status = 0;
    switch (options_.repeat) {
        case Options::Repeat::Off: status = RunOnce(board, false); break;
        case Options::Repeat::Key: status = RunRounds(board); break;
        case Options::Repeat::Auto: status = RunAuto(board); break;
    }
    if (ports_.size() > 1 || options_.repeat != Options::Repeat::Off) Summary();
    return status;
}

int Station::Status() {
    std::lock_guard lock(mutex_);
    for (const BoardState& b : boards_)
        if (b.firstFailure != 0) return b.firstFailure;
    return kDone;
}

void Station::Summary() {
    std::lock_guard lock(mutex_);
    unsigned done = 0, failed = 0;
    for (const BoardState& b : boards_) {
        done += b.boardsDone;
        failed += b.boardsFailed;
        if (options_.repeat != Options::Repeat::Off) {
            std::string line = b.label + ": " + std::to_string(b.boardsDone) + " done, " +
                               std::to_string(b.boardsFailed) + " failed";
            if (b.firstFailure) line += " (the first with status " + std::to_string(b.firstFailure) + ")";
            if (b.firstFailure || !options_.quiet) out_.Note(line);
        } else if (b.status == kDone) {
            if (!options_.quiet) out_.Note(b.label + ": done in " + Seconds(b.seconds));
        } else {
            out_.Error(b.label + (b.status < 0             ? ": not run"
                                  : b.status == kInterrupted ? ": interrupted, status 130"
                                                             : ": failed, status " + std::to_string(b.status) + " (" +
                                                                   ShortFailure(b.status) + ")"));
        }
        // In the table the boards' errors were not shown yet.
        if (table_)
            for (const std::string& e : b.errors) out_.Error(b.port + ": " + e);
    }
    if (!stopWhy_.empty()) out_.Error("the station stopped: " + stopWhy_);
    if (!options_.quiet)
        out_.Note(std::to_string(done + failed) + (done + failed == 1 ? " board: " : " boards: ") +
                  std::to_string(done) + " done, " + std::to_string(failed) + " failed");
}

}  // namespace h8sx::cli
