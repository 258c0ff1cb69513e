// h8sx monitor and ram-write: the board's own program on the port, its text on standard
// output, keys and piped text to it in its character set.
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>

#include "app/Texts.h"
#include "cli/Commands.h"
#include "cli/ImageFile.h"
#include "cli/Session.h"
#include "cli/System.h"
#include "image/SRecord.h"
#include "monitor/OwnProgram.h"
#include "monitor/SendText.h"
#include "monitor/ShiftJis.h"

namespace h8sx::cli {

namespace {

// Ctrl-] and Ctrl-C typed at the monitor.
constexpr char kCtrlBracket = 0x1D;
constexpr char kCtrlC = 0x03;
constexpr std::uint8_t kEnter = 0x0D;
// Piped input is taken this much at a time: about what the line carries in a tick.
constexpr std::size_t kInputPiece = 256;

// The board's text to standard output, keys from standard input, until a key, the time
// or the awaited text ends it.
class MonitorRun {
   public:
    explicit MonitorRun(Session& s) : s_(s), o_(s.options) {
        s_.onReceived = [this](const std::string& text) { Show(text); };
    }

    int Run() {
        const int status = Loop();
        // The board's last line, ended so that a shell prompt starts on a line of its own.
        if (s_.oneOfMany ? !pending_.empty() : !lastEndedLine_) Put("\n");
        s_.out.EndLiveLine();
        if (stdoutFailure_) return stdoutFailure_.error == EPIPE ? kDone : kFileFailed;
        return s_.out.Failed() ? s_.StoppedStatus() : status;
    }

   private:
    int Loop() {
        // One board of several: its keys would go to every board; none are taken.
        KeyInput keys(!s_.oneOfMany);
        if (keys.Terminal()) s_.out.Note("monitor on " + s_.portName + "; Ctrl-] ends it, Ctrl-C too");
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            if (found_) return kDone;
            if (!stdoutFailure_ && StdoutReaderGone()) stdoutFailure_ = {EPIPE, "standard output"};
            if (s_.link.Lost()) {
                s_.out.Error(s_.PortGone());
                return kPortNotOpened;
            }
            if (stdoutFailure_ || s_.Stopping()) return kInterrupted;
            if (o_.timeout &&
                std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(*o_.timeout)) {
                if (o_.expect) s_.out.Error("\"" + *o_.expect + "\" not seen within the time");
                return o_.expect ? kNotSeen : kDone;
            }
            std::string typed;
            for (char c : keys.Take(kInputPiece)) {
                if (keys.Terminal() && c == kCtrlC) return kInterrupted;
                if (keys.Terminal() && c == kCtrlBracket) return o_.expect && !found_ ? kNotSeen : kDone;
                // Enter and a line end go as CR, a CR LF pair as one.
                const bool lf = c == '\n';
                if (lf && lastWasCr_) {
                    lastWasCr_ = false;
                    continue;
                }
                lastWasCr_ = c == '\r';
                typed += lf || c == '\r' ? static_cast<char>(kEnter) : c;
            }
            Send(typed);
            if (keys.Ended() && !finished_) {
                encoder_.Finish();
                finished_ = true;
                ReportUnsent();
            }
            if (s_.watchInput) s_.watchInput(!keys.Ended());
            s_.pump.WaitAndProcessMessages();
        }
    }

    void Send(const std::string& typed) {
        if (typed.empty()) return;
        const std::string bytes = encoder_.Take(typed);
        s_.link.SendBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ReportUnsent();
    }

    // A character the board's code page has no form for is not sent; said once.
    void ReportUnsent() {
        if (reportedUnsent_ || encoder_.Unsent() == 0) return;
        reportedUnsent_ = true;
        std::string c;
        AppendUtf8(c, encoder_.FirstUnsent());
        s_.out.Error("'" + c + "' has no form in the board's character set (Shift-JIS) and was not sent; " +
                     "nor will be any other such character");
    }

    void Put(const std::string& text) {
        if (!s_.oneOfMany) {
            if (WriteAll(stdout, "standard output", text.data(), text.size(), stdoutFailure_) && !text.empty())
                lastEndedLine_ = text.back() == '\n';
            return;
        }
        // Several boards share standard output: whole lines, each after its port's name.
        pending_ += text;
        std::string lines;
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            lines += s_.portName + ": " + pending_.substr(0, end + 1);
            pending_.erase(0, end + 1);
        }
        if (!lines.empty()) WriteAll(stdout, "standard output", lines.data(), lines.size(), stdoutFailure_);
    }

    void Show(const std::string& text) {
        Put(text);
        if (!o_.expect || found_) return;
        seen_ += text;
        if (seen_.find(*o_.expect) != std::string::npos) found_ = true;
        // Only a tail that the awaited text could still begin in is kept.
        if (seen_.size() > 2 * o_.expect->size()) seen_.erase(0, seen_.size() - o_.expect->size());
    }

    Session& s_;
    const Options& o_;
    SendText encoder_;
    WriteFailure stdoutFailure_;
    std::string seen_;
    bool found_ = false;
    bool lastWasCr_ = false;
    bool lastEndedLine_ = true;
    std::string pending_;  // one of several boards: the part of a line still to come
    bool finished_ = false;
    bool reportedUnsent_ = false;
};

}  // namespace

int Monitor(Session& s) {
    if (!s.OpenPort(kOwnProgramBitRate)) return kPortNotOpened;
    MonitorRun run(s);
    if (!s.options.noReset) s.RestartBoard();
    return run.Run();
}

int RamWrite(Session& s) {
    const Options& o = s.options;
    // The whole file is read and checked before the board is touched.
    std::string text;
    if (const int status = ReadRamFile(o, s.platform, s.out, text); status != kDone) return status;
    if (!s.OpenPort(kOwnProgramBitRate)) return kPortNotOpened;
    // The board answers while the file goes out: the monitor listens from the start.
    std::optional<MonitorRun> run;
    if (o.monitor) run.emplace(s);
    s.RestartBoard();
    s.out.Status(text::kTransferring);
    MemorySource source(text);
    const bool sent = SendRamWrite(s.link, source);
    if (s.link.Lost()) {
        s.out.Error(s.PortGone() + "; the board's program saw " + (sent ? "the whole file" : "part of the file"));
        return kPortNotOpened;
    }
    if (!sent || s.Stopping()) {
        s.RestartBoard();  // the board's program saw half a file
        s.out.Error("interrupted: the board was restarted into its own program");
        return s.StoppedStatus();
    }
    s.out.Status(text::kTransferDone);
    return run ? run->Run() : kDone;
}

}  // namespace h8sx::cli
