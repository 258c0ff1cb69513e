#include "cli/Commands.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "app/TForm1.h"
#include "boot/BootProtocol.h"
#include "cli/CliToolkit.h"
#include "cli/System.h"
#include "image/FlashImage.h"
#include "image/SRecord.h"

namespace h8sx::cli {

namespace {

// The rates the window opens its port at: at start-up (FWRITE reopens at the same) and
// for VIEW.
constexpr std::uint32_t kStartupBitRate = 19200;
constexpr std::uint32_t kMonitorBitRate = 38400;
// The programming's line rate, and the bytes one block costs on the line: the command and
// its acknowledgement, 10 bits a byte.
constexpr double kProgrammingBitRate = 38400;
constexpr double kBlockLineBytes = boot::kProgramCommandLength + 1;

// Ctrl-] and Ctrl-C typed at the monitor.
constexpr char kCtrlBracket = 0x1D;
constexpr char kCtrlC = 0x03;
constexpr std::uint8_t kEnter = 0x0D;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// One port, one board, one form: the core as the windows have it, without windows.
struct Session {
    explicit Session(const Options& o)
        : out(o.quiet, StderrIsTerminal()), toolkit(*device, out), form(*device, toolkit, *platform) {
        toolkit.form = &form;
        portName = o.port ? *o.port : SettingsPort();
        form.PortOverride = PortDevice(portName);
    }

    // The port the settings file ticks, as the window would open it; COM1 without one.
    // The file is only read: the windows own it.
    std::string SettingsPort() {
        char digit = '1';
        if (const File f{platform->OpenFile(form.SettingsPath(), "r")}) {
            const int c = std::fgetc(f.get());
            if (c >= '1' && c <= '6') digit = static_cast<char>(c);
        }
        return std::string("COM") + digit;
    }

    // Opens the port as the window does (no "exit after 2 s" on failure: ReportOpenFailure
    // stays 0); false, with the error shown, when it cannot be opened.
    bool OpenPort(std::uint32_t bitRate) {
        form.OpenComPort(form.SelectedPortName(), bitRate);
        if (form.Link().ComHandle != kInvalidHandle) return true;
        out.Error("cannot open the port " + portName +
                  (form.PortOverride != portName ? " (" + form.PortOverride + ")" : std::string()) +
                  ": it is missing or another program holds it");
        return false;
    }

    std::unique_ptr<SerialDevice> device = NewSerialDevice();
    std::unique_ptr<Platform> platform = NewPlatform();
    Output out;
    CliToolkit toolkit;
    TForm1 form;
    std::string portName;
};

// Reads FILE as FWRITE would; kDone, or kFileFailed with the reason shown.
int ReadImage(const Options& o, Platform& platform, Output& out, FlashImage& image, ImageLoad& load) {
    const File f{platform.OpenFile(o.file, "rb")};
    if (!f) {
        out.Error("cannot read " + o.file + ": " + std::strerror(errno));
        return kFileFailed;
    }
    FileSource source(f.get());
    load = ReadSRecords(source, image);
    if (!load.Loaded()) {
        out.Error(o.file + ": " + ImageStatusText(load));
        return kFileFailed;
    }
    for (std::uint32_t line : load.badChecksumLines)
        out.Error(o.file + ":" + std::to_string(line) + ": wrong checksum");
    if (!load.badChecksumLines.empty() && !o.ignoreChecksums) {
        out.Error("refused: records with a wrong checksum (--ignore-checksums loads them as they read)");
        return kFileFailed;
    }
    if (load.firstAddress != 0) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "warning: the first record lies at 0x%" PRIX32
                      "; its data is written from flash address 0",
                      load.firstAddress);
        out.Error(text);
    }
    return kDone;
}

// The board's text to standard output, keys from standard input, until a key, the time
// or the awaited text ends it.
class MonitorRun {
   public:
    MonitorRun(Session& s, const Options& o) : s_(s), o_(o) {
        s_.toolkit.monitorText = [this](const std::string& text) { Show(text); };
    }

    int Run() {
        KeyInput keys;
        if (keys.Terminal()) s_.out.Note("monitor on " + s_.portName + "; Ctrl-] or Ctrl-C ends it");
        const auto start = CliToolkit::Clock::now();
        for (;;) {
            if (found_) return kDone;
            if (StopRequested()) return kInterrupted;
            if (o_.timeout &&
                CliToolkit::Clock::now() - start >= std::chrono::duration<double>(*o_.timeout)) {
                if (o_.expect) s_.out.Error("\"" + *o_.expect + "\" not seen within the time");
                return o_.expect ? kNotSeen : kDone;
            }
            for (char c : keys.Take()) {
                if (keys.Terminal() && (c == kCtrlBracket || c == kCtrlC))
                    return o_.expect && !found_ ? kNotSeen : kDone;
                s_.form.SendKey(c == '\n' || c == '\r' ? kEnter : static_cast<std::uint8_t>(c));
            }
            s_.toolkit.watchInput = !keys.Ended();
            s_.toolkit.WaitAndProcessMessages();
        }
    }

   private:
    void Show(const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        if (!o_.expect || found_) return;
        seen_ += text;
        if (seen_.find(*o_.expect) != std::string::npos) found_ = true;
        // Only a tail that the awaited text could still begin in is kept.
        if (seen_.size() > 2 * o_.expect->size()) seen_.erase(0, seen_.size() - o_.expect->size());
    }

    Session& s_;
    const Options& o_;
    std::string seen_;
    bool found_ = false;
};

}  // namespace

int Write(const Options& o) {
    Session s(o);
    FlashImage image;
    ImageLoad load;
    // The file is read before the board is touched: a damaged one leaves the flash as it is.
    if (const int status = ReadImage(o, *s.platform, s.out, image, load); status != kDone) return status;
    if (!s.OpenPort(kStartupBitRate)) return kPortNotOpened;
    if (StopRequested()) return kInterrupted;  // the board not touched yet

    s.toolkit.file = o.file;
    s.form.SkipBlankBlocks = o.skipBlank;
    s.form.Button1Click();

    const Outcome outcome = s.form.LastOutcome;
    if (StopRequested()) {
        // A write that got as far as the transfer has restarted the board already.
        if (outcome == Outcome::NoBoard || outcome == Outcome::BootFailed ||
            outcome == Outcome::PortNotOpened)
            s.form.ResetForMonitor();
        s.out.Error("interrupted: the board was restarted into its own program");
        return kInterrupted;
    }
    if (outcome == Outcome::Done) {
        if (o.skipBlank)
            s.out.Note(std::to_string(BlockCount(image.Length) - s.form.SkippedBlocks) + " blocks programmed, " +
                       std::to_string(s.form.SkippedBlocks) + " blank blocks left as erased");
        return kDone;
    }
    if (outcome == Outcome::PortNotOpened) {
        s.out.Error("the port " + s.portName + " could not be opened");
        return kPortNotOpened;
    }
    // The failure, with the status text the window would show for it.
    struct Failure {
        Outcome outcome;
        const char* what;
        int status;
    };
    static constexpr Failure kFailures[] = {
        {Outcome::NoBoard, "no board answered the bit-rate matching", kNoBoard},
        {Outcome::BootFailed, "the boot dialogue failed", kBootFailed},
        {Outcome::FileFailed, "the file could not be read", kFileFailed},
        {Outcome::TransferFailed, "the transfer failed", kTransferFailed},
    };
    for (const Failure& f : kFailures) {
        if (f.outcome != outcome) continue;
        s.out.Error(std::string(f.what) + " (" + s.out.LastStatus() + ")");
        return f.status;
    }
    return kTransferFailed;
}

int Check(const Options& o) {
    const std::unique_ptr<Platform> platform = NewPlatform();
    Output out(o.quiet, false);
    FlashImage image;
    ImageLoad load;
    if (const int status = ReadImage(o, *platform, out, image, load); status != kDone) return status;

    const std::uint32_t blocks = BlockCount(image.Length);
    std::uint32_t blank = 0;
    for (std::uint32_t b = 0; b < blocks; ++b)
        blank += IsBlankBlock(std::span<const std::uint8_t, boot::kBlockSize>(
            image.Bytes.data() + std::size_t{b} * boot::kBlockSize, boot::kBlockSize));
    const double seconds = blocks * kBlockLineBytes * 10 / kProgrammingBitRate;
    std::printf("%s\n", ImageStatusText(load).c_str());
    std::printf("records:   S%d, %u data records\n", load.kind, load.dataRecords);
    std::printf("image:     %u bytes from flash address 0\n", image.Length);
    std::printf("blocks:    %u of %zu bytes (%u of them blank)\n", blocks, boot::kBlockSize, blank);
    std::printf("time:      %.1f s of programming at 38400 bit/s (%.1f s with --skip-blank)\n", seconds,
                (blocks - blank) * kBlockLineBytes * 10 / kProgrammingBitRate);

    if (o.out) {
        const File f{platform->OpenFile(*o.out, "wb")};
        const std::size_t n = std::size_t{blocks} * boot::kBlockSize;
        if (!f || std::fwrite(image.Bytes.data(), 1, n, f.get()) != n) {
            out.Error("cannot write " + *o.out);
            return kFileFailed;
        }
    }
    return kDone;
}

int Monitor(const Options& o) {
    Session s(o);
    if (!s.OpenPort(kMonitorBitRate)) return kPortNotOpened;
    s.form.MonitorPortOpen = 1;
    MonitorRun run(s, o);
    if (!o.noReset) s.form.ResetForMonitor();
    return run.Run();
}

int RamWrite(const Options& o) {
    Session s(o);
    if (const File f{s.platform->OpenFile(o.file, "rb")}; !f) {
        s.out.Error("cannot read " + o.file + ": " + std::strerror(errno));
        return kFileFailed;
    }
    if (!s.OpenPort(kMonitorBitRate)) return kPortNotOpened;
    s.form.MonitorPortOpen = 1;
    // The board answers while the file goes out: the monitor listens from the start.
    std::optional<MonitorRun> run;
    if (o.monitor) run.emplace(s, o);
    s.toolkit.file = o.file;
    s.form.Button3Click();
    if (StopRequested()) {
        s.form.ResetForMonitor();  // the board's program saw half a file
        s.out.Error("interrupted: the board was restarted into its own program");
        return kInterrupted;
    }
    if (s.form.LastOutcome != Outcome::Done) {
        s.out.Error("cannot read " + o.file);
        return kFileFailed;
    }
    return run ? run->Run() : kDone;
}

int Reset(const Options& o) {
    Session s(o);
    if (!s.OpenPort(kMonitorBitRate)) return kPortNotOpened;
    s.form.ResetForMonitor();
    s.out.Note("the board on " + s.portName + " was restarted into its own program");
    return kDone;
}

int Ports(const Options&) {
    const std::unique_ptr<Platform> platform = NewPlatform();
    const std::vector<PortEntry> ports = platform->ListPorts();
    // The device column as wide as its longest path (by-id names run long).
    int width = 6;
    for (const PortEntry& p : ports) width = std::max(width, static_cast<int>(p.device.size()));
    std::printf("%-8s %-*s %-8s %s\n", "NAME", width, "DEVICE", "PRESENT", "DETAIL");
    for (const PortEntry& p : ports)
        std::printf("%-8s %-*s %-8s %s\n", p.name.empty() ? "-" : p.name.c_str(), width,
                    p.device.empty() ? "-" : p.device.c_str(), p.present ? "yes" : "no",
                    p.device.empty() ? "no port" : p.detail.c_str());
    if (const std::string problem = platform->PortsProblem(); !problem.empty()) {
        std::fprintf(stderr, "h8sx: %s\n", problem.c_str());
        return kFileFailed;
    }
    return kDone;
}

}  // namespace h8sx::cli
