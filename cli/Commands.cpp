#include "cli/Commands.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "app/Texts.h"
#include "boot/BootProtocol.h"
#include "boot/FlashWrite.h"
#include "cli/ImageFile.h"
#include "cli/Session.h"
#include "cli/System.h"
#include "image/FlashImage.h"
#include "image/SRecord.h"
#include "monitor/OwnProgram.h"
#include "monitor/SendText.h"
#include "monitor/ShiftJis.h"

namespace h8sx::cli {

namespace {

// The bytes one block costs on the line: the command and its acknowledgement, 10 bits a
// byte.
constexpr double kBlockLineBytes = boot::kProgramCommandLength + 1;

// Ctrl-] and Ctrl-C typed at the monitor.
constexpr char kCtrlBracket = 0x1D;
constexpr char kCtrlC = 0x03;
constexpr std::uint8_t kEnter = 0x0D;
// Piped input is taken this much at a time: about what the line carries in a tick.
constexpr std::size_t kInputPiece = 256;

// How a command ends that was stopped: by Ctrl-C, or by an output that could not be
// written (a pipe whose reader has gone: status 1; anything else: the file status).
int StoppedStatus(Session& s) {
    if (!s.out.Failed()) return kInterrupted;
    return s.out.Failure().error == EPIPE ? kUsage : kFileFailed;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06" PRIX32, value);
    return text;
}

// What the flash holds after a write that did not end well.
std::string FlashState(const WriteResult& r) {
    if (!r.eraseStarted) return "the flash is as it was";
    if (!r.erased) return "the flash may be partly erased";
    if (r.blocks == 0) return "the flash is erased";
    const std::uint32_t held = r.failedBlock ? *r.failedBlock : r.programmed + r.skipped;
    std::string text = "the flash holds the first " + std::to_string(held) + " of " + std::to_string(r.blocks) +
                       " blocks and is erased from " + Hex(held * std::uint32_t{boot::kBlockSize}) + " on";
    if (r.stoppedInFlight) text += " (block " + std::to_string(held + 1) + " was on its way: it may be written too)";
    return text;
}

// What went wrong in a verify, for the engineer.
std::string VerifyFailure(const VerifyResult& v) {
    const auto command = [&] {
        char text[64];
        std::snprintf(text, sizeof text, "%s (%02X)",
                      v.command == boot::kBlankCheck  ? "the blank check"
                      : v.command == boot::kSumCheck ? "the sum check"
                                                     : "the memory read",
                      v.command);
        return std::string(text);
    };
    char text[200];
    switch (v.fault) {
        case VerifyResult::Fault::None:
        case VerifyResult::Fault::NotBlank: break;
        case VerifyResult::Fault::NoAnswer: return "verify failed: no answer to " + command();
        case VerifyResult::Fault::NotTaken:
            std::snprintf(text, sizeof text, ": it answers 80 %02X; --no-verify writes without the verify", v.command);
            return "verify failed: the board's boot program does not take " + command() + text;
        case VerifyResult::Fault::ErrorAnswer:
            std::snprintf(text, sizeof text, " with an error (%02X %02X)", v.command | boot::kErrorBit, v.code);
            return "verify failed: the board answered " + command() + text;
        case VerifyResult::Fault::BadAnswer: return "verify failed: a malformed answer to " + command();
        case VerifyResult::Fault::SumMismatch:
            std::snprintf(text, sizeof text,
                          "verify failed: the flash sums to 0x%08" PRIX32 ", where the programmed blocks account for "
                          "0x%08" PRIX32 " (erased: 0x%08" PRIX32 "); %s",
                          *v.sum, v.expectedSum, *v.erasedSum,
                          v.bytesRead > 0 ? "the programmed blocks read back as written: the difference lies "
                                            "outside them"
                                          : "--verify=read finds the address");
            return text;
        case VerifyResult::Fault::ByteMismatch:
            std::snprintf(text, sizeof text,
                          "verify failed: flash address 0x%06" PRIX32 " holds 0x%02X where 0x%02X was programmed",
                          v.address, v.actual, v.expected);
            return text;
    }
    return "verify failed";
}

// A write as the command line runs it: the port given, the image read and checked before
// the board was touched, status lines and progress on standard error.
class CliWrite final : public WriteClient {
   public:
    CliWrite(Session& s, const FlashImage& image) : s_(s), image_(image) {}

    bool OpenPort(std::uint32_t bitRate) override { return s_.OpenPort(bitRate); }
    void ShowStatus(const std::string& utf8) override {
        // After a stop the waits end early: what they would show is no failure of the board.
        if (!s_.Stopping()) s_.out.Status(utf8);
    }
    void BeepIfSound() override {}
    void SetProgressPosition(int) override {}
    void SetProgressMax(int) override {}
    const FlashImage* ImageToProgram() override { return &image_; }
    void BlockDone(std::uint32_t done, std::uint32_t total, bool skipped) override {
        s_.out.Progress(done, total, skipped);
    }
    void RestartBoard() override { s_.RestartBoard(); }

   private:
    Session& s_;
    const FlashImage& image_;
};

// The failure of a write, named for the engineer, with the window's status text.
int WriteFailed(Session& s, const WriteResult& r) {
    const std::string window = " (" + s.out.LastStatus() + ")";
    const auto restarted = [&] {
        return FlashState(r) + (r.restarted ? "; the board was restarted into its own program" : "");
    };
    switch (r.outcome) {
        case WriteOutcome::Done: return kDone;
        case WriteOutcome::PortNotOpened:
            s.out.Error("the port " + s.portName + " could not be opened");
            return kPortNotOpened;
        case WriteOutcome::NoBoard:
            s.out.Error("no board answered the bit-rate matching" + window);
            return kNoBoard;
        case WriteOutcome::BootFailed:
            if (r.bitRateRefused)
                s.out.Error("the board refused the bit rate " + std::to_string(s.options.bitRate) +
                            " (BF 24): its boot program cannot make it; a lower --bit-rate may do");
            s.out.Error("the boot dialogue failed" + window + "; " + FlashState(r));
            return kBootFailed;
        case WriteOutcome::NotBlank:
            s.out.Error("the blank check after the erase found bytes that are not 0xFF (CD 52): the erase did not "
                        "take; nothing was programmed, and the board was restarted into its own program");
            return kBootFailed;
        case WriteOutcome::VerifyFailed:
            s.out.Error(VerifyFailure(r.verify) + "; the board was restarted into its own program");
            return kVerifyFailed;
        case WriteOutcome::NoImage:
            s.out.Error("there was no image to program" + window);
            return kFileFailed;
        case WriteOutcome::TransferFailed:
            if (r.failedBlock) {
                const std::uint32_t b = *r.failedBlock;
                s.out.Error("block " + std::to_string(b + 1) + " of " + std::to_string(r.blocks) + " (flash address " +
                            Hex(b * std::uint32_t{boot::kBlockSize}) + ") was " +
                            (s.out.LastStatus() == "レスポンスERR" ? "refused" : "not answered") + window);
            } else {
                s.out.Error("every block was acknowledged, but the end of programming was " +
                            std::string(s.out.LastStatus() == "書き込みERR" ? "refused" : "not answered") + window);
            }
            s.out.Error(restarted());
            return kTransferFailed;
        case WriteOutcome::Stopped:
            s.out.Error("interrupted: " + restarted());
            return StoppedStatus(s);
    }
    return kTransferFailed;  // not reached: every outcome has its case
}

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
        if (!lastEndedLine_) Put("\n");
        s_.out.EndLiveLine();
        if (stdoutFailure_) return stdoutFailure_.error == EPIPE ? kDone : kFileFailed;
        return s_.out.Failed() ? StoppedStatus(s_) : status;
    }

   private:
    int Loop() {
        KeyInput keys;
        if (keys.Terminal()) s_.out.Note("monitor on " + s_.portName + "; Ctrl-] ends it, Ctrl-C too");
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            if (found_) return kDone;
            if (!stdoutFailure_ && StdoutReaderGone()) stdoutFailure_ = {EPIPE, "standard output"};
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
        for (char c : bytes) s_.link.SendBytes(reinterpret_cast<const std::uint8_t*>(&c), 1);
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
        if (WriteAll(stdout, "standard output", text.data(), text.size(), stdoutFailure_) && !text.empty())
            lastEndedLine_ = text.back() == '\n';
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
    bool finished_ = false;
    bool reportedUnsent_ = false;
};

}  // namespace

int Write(Session& s) {
    FlashImage image;
    ImageLoad load;
    // The file is read before the board is touched: a damaged one leaves the flash as it is.
    if (const int status = ReadImageFile(s.options, s.platform, s.out, image, load); status != kDone) return status;
    if (!s.OpenPort(kMatchingBitRate)) return kPortNotOpened;
    if (s.Stopping()) return StoppedStatus(s);  // the board not touched yet

    CliWrite client(s, image);
    WriteOptions options;
    options.skipBlankBlocks = s.options.skipBlank;
    options.bitRate = s.options.bitRate;
    options.verify = s.options.verify;
    const WriteResult r = FlashWrite(s.link, client, options).Run();
    if (r.outcome == WriteOutcome::Stopped && !r.restarted) s.RestartBoard();
    if (r.outcome == WriteOutcome::Done && s.options.skipBlank)
        s.out.Note(std::to_string(r.programmed) + " blocks programmed, " + std::to_string(r.skipped) +
                   " blank blocks left as erased");
    return WriteFailed(s, r);
}

int Check(Session& s) {
    FlashImage image;
    ImageLoad load;
    if (const int status = ReadImageFile(s.options, s.platform, s.out, image, load); status != kDone) return status;

    const std::uint32_t blocks = BlockCount(image.Length);
    std::uint32_t blank = 0;
    for (std::uint32_t b = 0; b < blocks; ++b)
        blank += IsBlankBlock(std::span<const std::uint8_t, boot::kBlockSize>(
            image.Bytes.data() + std::size_t{b} * boot::kBlockSize, boot::kBlockSize));
    const double rate = s.options.bitRate;
    char text[600];
    std::snprintf(text, sizeof text,
                  "%s\n"
                  "records:   S%d, %u data records%s\n"
                  "image:     %u bytes from flash address 0\n"
                  "blocks:    %u of %zu bytes (%u of them blank)\n"
                  "time:      %.1f s of programming at %.0f bit/s (%.1f s with --skip-blank)\n",
                  ImageStatusText(load).c_str(), load.kind, load.dataRecords,
                  load.endedByCount ? ", ended by a count record" : "", image.Length, blocks,
                  boot::kBlockSize, blank, blocks * kBlockLineBytes * 10 / rate, rate,
                  (blocks - blank) * kBlockLineBytes * 10 / rate);
    WriteFailure failure;
    if (!WriteAll(stdout, "standard output", text, std::strlen(text), failure)) {
        s.out.Error(failure.Text());
        return failure.error == EPIPE ? kUsage : kFileFailed;
    }

    if (s.options.out) {
        const std::string& path = *s.options.out;
        std::FILE* f = s.platform.OpenFile(path, "wb");
        if (f == nullptr) {
            s.out.Error("cannot write " + path + ": " + std::strerror(errno));
            return kFileFailed;
        }
        const std::size_t n = std::size_t{blocks} * boot::kBlockSize;
        const bool written = WriteAll(f, path.c_str(), image.Bytes.data(), n, failure);
        errno = 0;
        const bool closed = std::fclose(f) == 0;
        if (!written || !closed) {
            s.out.Error(written ? "cannot write " + path + ": " + std::strerror(errno ? errno : EIO)
                                : failure.Text());
            return kFileFailed;
        }
    }
    return kDone;
}

int Monitor(Session& s) {
    if (!s.OpenPort(kOwnProgramBitRate)) return kPortNotOpened;
    MonitorRun run(s);
    if (!s.options.noReset) s.RestartBoard();
    return run.Run();
}

int RamWrite(Session& s) {
    const Options& o = s.options;
    // "-": the text comes from standard input.
    const bool fromInput = o.file == "-";
    const UniqueFile file{fromInput ? nullptr : s.platform.OpenFile(o.file, "rb")};
    if (!fromInput && !file) {
        s.out.Error("cannot read " + o.file + ": " + std::strerror(errno));
        return kFileFailed;
    }
    if (!s.OpenPort(kOwnProgramBitRate)) return kPortNotOpened;
    // The board answers while the file goes out: the monitor listens from the start.
    std::optional<MonitorRun> run;
    if (o.monitor) run.emplace(s);
    s.RestartBoard();
    s.out.Status(text::kTransferring);
    const bool sent = SendRamWrite(s.link, fromInput ? stdin : file.get());
    if (!sent || s.Stopping()) {
        s.RestartBoard();  // the board's program saw half a file
        s.out.Error("interrupted: the board was restarted into its own program");
        return StoppedStatus(s);
    }
    s.out.Status(text::kTransferDone);
    return run ? run->Run() : kDone;
}

int Reset(Session& s) {
    if (!s.OpenPort(kOwnProgramBitRate)) return kPortNotOpened;
    s.RestartBoard();
    s.out.Note("the board on " + s.portName + " was restarted into its own program");
    return s.out.Failed() ? StoppedStatus(s) : kDone;
}

int Ports(Session& s) {
    const std::vector<PortEntry> ports = s.platform.ListPorts();
    // The device column as wide as its longest path (by-id names run long).
    int width = 6;
    for (const PortEntry& p : ports) width = std::max(width, static_cast<int>(p.device.size()));
    std::string table;
    const auto row = [&](const std::string& name, const std::string& device, const char* present,
                         const std::string& detail) {
        char text[1024];
        std::snprintf(text, sizeof text, "%-8s %-*s %-8s %s\n", name.c_str(), width, device.c_str(), present,
                      detail.c_str());
        table += text;
    };
    row("NAME", "DEVICE", "PRESENT", "DETAIL");
    for (const PortEntry& p : ports)
        row(p.name.empty() ? "-" : p.name, p.device.empty() ? "-" : p.device, p.present ? "yes" : "no",
            p.device.empty() ? "no port" : p.detail);
    WriteFailure failure;
    if (!WriteAll(stdout, "standard output", table.data(), table.size(), failure)) {
        s.out.Error(failure.Text());
        return failure.error == EPIPE ? kUsage : kFileFailed;
    }
    if (const std::string problem = s.platform.PortsProblem(); !problem.empty()) {
        s.out.Error(problem);
        return kFileFailed;
    }
    return kDone;
}

}  // namespace h8sx::cli
