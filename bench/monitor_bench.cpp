// The monitor's receive tick under a board that sends without a pause at 38400 bit/s:
// ten minutes of line time (about 2.3 MB of text lines, some of them Japanese in
// Shift-JIS, CR LF line ends) into the real Qt monitor window, shown on the offscreen
// platform. Runs in virtual time: every 100 ms tick the line has brought 384 more bytes
// (fed through the in-process link), then Timer1Timer runs and the events it caused,
// the repaint included, are handled. Prints what one tick costs at the start, on the way
// and at the end. Asserts nothing.
//
//   monitor_bench [--minutes N]   (default 10)
#include <QApplication>
#include <QEvent>
#include <QPlainTextEdit>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/TForm1.h"
#include "gui/qt/QtToolkit.h"
#include "monitor/MonitorLines.h"
#include "monitor/SendText.h"
#include "sim/Board.h"
#include "sim/VirtualLink.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kTickMicros = 100'000;
constexpr std::size_t kBytesPerTick = 384;  // 38400 bit/s, 10 bits a byte, 100 ms
constexpr std::size_t kSegment = 1000;      // ticks per line of the table

// Shift-JIS for the text the board sends, through the monitor's own encoder; the number of
// characters it holds.
std::size_t AppendShiftJis(std::vector<std::uint8_t>& out, const std::string& utf8) {
    h8sx::SendText encoder;
    const std::string bytes = encoder.Take(utf8);
    if (encoder.Unsent() != 0) {
        std::fprintf(stderr, "monitor_bench: U+%04X has no Shift-JIS code\n", unsigned(encoder.FirstUnsent()));
        std::exit(1);
    }
    out.insert(out.end(), bytes.begin(), bytes.end());
    return static_cast<std::size_t>(
        std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// What a board that reports its measurements sends: numbered lines, plain and Japanese,
// of different lengths, each ending in CR LF. The same on every run.
class BoardText {
public:
    // The next `n` bytes of the stream.
    std::vector<std::uint8_t> Take(std::size_t n) {
        while (pending_.size() < n) NextLine();
        std::vector<std::uint8_t> out(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
        return out;
    }
    // The rest of the line being sent.
    std::vector<std::uint8_t> Rest() { return Take(pending_.size()); }
    // Characters of the lines begun so far, line ends not counted.
    std::size_t Characters() const { return characters_; }
    std::size_t Lines() const { return lines_; }
    const std::string& LastLine() const { return last_; }

private:
    unsigned Random() {
        state_ = state_ * 1103515245u + 12345u;
        return (state_ >> 16) & 0x7FFF;
    }

    void NextLine() {
        char line[160];
        const unsigned n = ++number_;
        switch (Random() % 6) {
            case 0:
                std::snprintf(line, sizeof line, "%06u T=%02u:%02u:%02u.%u ADC0=%04u ADC1=%04u ADC2=%04u", n,
                              n / 36000 % 24, n / 600 % 60, n / 10 % 60, n % 10, Random() % 4096, Random() % 4096,
                              Random() % 4096);
                break;
            case 1:
                std::snprintf(line, sizeof line, "%06u 温度 %2u.%u℃ 電圧 %u.%02uV 状態:正常", n, 20 + Random() % 15,
                              Random() % 10, 3 + Random() % 2, Random() % 100);
                break;
            case 2:
                std::snprintf(line, sizeof line, "%06u モーター回転数 %5u rpm ｾﾝｻ OK", n, Random() % 12000);
                break;
            case 3:
                std::snprintf(line, sizeof line, "%06u 警告: 電圧低下 (%u.%02uV) 再測定します", n, 2 + Random() % 2,
                              Random() % 100);
                break;
            case 4:
                std::snprintf(line, sizeof line, "---- %06u ------------------------------------------------", n);
                break;
            default:
                std::snprintf(line, sizeof line, "OK");
                break;
        }
        last_ = line;
        characters_ += AppendShiftJis(pending_, line);
        pending_.push_back('\r');
        pending_.push_back('\n');
        ++lines_;
    }

    std::vector<std::uint8_t> pending_;
    unsigned state_ = 1622;
    unsigned number_ = 0;
    std::size_t characters_ = 0, lines_ = 0;
    std::string last_;
};

// Counts the monitor's repaints.
class PaintCounter : public QObject {
public:
    long paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints;
        return false;
    }
};

class BenchPlatform : public h8sx::Platform {
public:
    std::string ExecutableDirectory() override { return "/tmp/"; }
    void ExitNow() override { std::_Exit(0); }
    std::FILE* OpenFile(const std::string& path, const char* mode) override { return std::fopen(path.c_str(), mode); }
};

// The offscreen platform says that it cannot raise a window, every time VIEW shows one.
QtMessageHandler g_defaultHandler = nullptr;
void QuietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QStringLiteral("does not support raise()"))) return;
    g_defaultHandler(type, context, message);
}

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// One line of the table: the ticks of a block, summed up when the block ends, so that the
// benchmark's own bookkeeping does not grow with the run.
class Block {
public:
    explicit Block(std::size_t ticks) { seconds_.reserve(ticks); }
    void Add(double seconds, long paints) {
        seconds_.push_back(seconds);
        paints_ += paints;
    }
    void Print(const char* what, std::size_t first, std::size_t bytesAt) {
        std::sort(seconds_.begin(), seconds_.end());
        double sum = 0;
        for (double t : seconds_) sum += t;
        const double n = double(seconds_.size());
        std::printf("%-6s %8zu-%-8zu %8.1f MB %8.3f %8.3f %8.3f %7.2f %9ld\n", what, first + 1, first + seconds_.size(),
                    double(bytesAt) / 1e6, 1e3 * sum / n, 1e3 * seconds_[seconds_.size() / 2], 1e3 * seconds_.back(),
                    double(paints_) / n, ResidentKiB());
        std::fflush(stdout);
        seconds_.clear();
        paints_ = 0;
    }

private:
    std::vector<double> seconds_;
    long paints_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    double minutes = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--minutes" && i + 1 < argc) {
            minutes = std::atof(argv[++i]);
        } else if (a == "--hours" && i + 1 < argc) {
            minutes = 60 * std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: monitor_bench [--minutes N | --hours N]\n");
            return 2;
        }
    }
    const auto tickCount = static_cast<std::size_t>(minutes * 60 * 10);
    if (tickCount < 2 * kSegment) {
        std::fprintf(stderr, "monitor_bench: give at least %.2f minutes\n", 2.0 * kSegment / 600);
        return 2;
    }
    // About 24 lines in the table, whatever the length of the run.
    const std::size_t segment = std::max(kSegment, tickCount / 24);

    // Qt wants a private runtime directory and complains without one; this one goes
    // after the application.
    struct RuntimeDir {
        char path[32] = "/tmp/monitor_bench.XXXXXX";
        bool made = false;
        ~RuntimeDir() {
            std::error_code ec;
            if (made) std::filesystem::remove_all(path, ec);
        }
    } runtime;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && (runtime.made = ::mkdtemp(runtime.path) != nullptr))
        qputenv("XDG_RUNTIME_DIR", runtime.path);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    g_defaultHandler = qInstallMessageHandler(QuietHandler);

    std::uint64_t clock = 0;
    h8sx::sim::Board board;
    h8sx::sim::VirtualLink link(board, clock);
    BenchPlatform platform;
    h8sx::qt::QtToolkit toolkit;  // no port to sleep on: nothing here waits
    h8sx::TForm1 form1(link, toolkit, platform);

    auto* memo = toolkit.Form2Window().As<QPlainTextEdit>("Memo1");
    PaintCounter counter;
    memo->viewport()->installEventFilter(&counter);

    form1.Button2Click();  // VIEW: COM1 at 38400 bit/s, the monitor window shown
    QCoreApplication::processEvents();
    const long residentBefore = ResidentKiB();

    BoardText text;
    std::size_t bytes = 0;
    std::printf("fed at 38400 bit/s, %.1f minutes of line time: %zu ticks\n\n", minutes, tickCount);
    std::printf("tick cost: Timer1Timer and the events it caused (repaint included), in ms; resident memory\n");
    std::printf("%-6s %-17s %11s %8s %8s %8s %7s %9s\n", "", "ticks", "received", "mean", "median", "max", "paints",
                "RSS KiB");
    Block block(segment);
    const auto start = Clock::now();
    for (std::size_t k = 0; k < tickCount; ++k) {
        // What the line brought during the last 100 ms; it has all arrived when the tick comes.
        clock += kTickMicros;
        link.Inject(text.Take(kBytesPerTick), clock);
        bytes += kBytesPerTick;

        const long paints = counter.paints;
        const auto t0 = Clock::now();
        form1.Timer1Timer();
        QCoreApplication::processEvents();
        block.Add(std::chrono::duration<double>(Clock::now() - t0).count(), counter.paints - paints);
        if ((k + 1) % segment == 0 || k + 1 == tickCount)
            block.Print(k + 1 == segment ? "start" : k + 1 == tickCount ? "end" : "", k - k % segment, bytes);
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();

    // The rest of the last line, untimed. The text box must hold the newest text: all of
    // it while it is short, at least the bound's worth of characters once it is cut.
    clock += kTickMicros;
    link.Inject(text.Rest(), clock);
    form1.Timer1Timer();
    QCoreApplication::processEvents();
    const QString shown = memo->toPlainText();
    std::size_t shownCharacters = 0, shownLineEnds = 0;
    for (QChar c : shown) {
        if (c.isLowSurrogate()) continue;
        ++shownCharacters;
        if (c == u'\n') ++shownLineEnds;
    }
    // Line ends aside: a CR that ends one read and the LF that starts the next make two.
    const bool all = shownCharacters - shownLineEnds == text.Characters();
    const bool kept = all || shownCharacters >= h8sx::kMonitorKeep;
    const bool newest = shown.endsWith(QString::fromStdString(text.LastLine()) + u'\n');

    std::printf("\nreceived           %zu bytes, %zu lines, %zu characters (line ends aside)\n", bytes, text.Lines(),
                text.Characters());
    std::printf("text box           %zu characters in %d lines at the end: %s, newest line %s\n", shownCharacters,
                memo->document()->blockCount(), all ? "all received" : kept ? "the newest, at least the bound" : "TOO FEW",
                newest ? "shown" : "NOT shown");
    std::printf("memory             %ld KiB resident after VIEW, %ld KiB at the end\n", residentBefore, ResidentKiB());
    std::printf("run                %.1f s for %.0f s of line time\n", total, minutes * 60);
    return 0;
}
