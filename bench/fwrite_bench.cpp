// One whole FWRITE through the Qt front end against h8sx-sim on a pseudo-terminal, with
// the board pacing the line at its bit rate: the click on FWRITE runs the real core, the
// termios serial layer and Qt's own message pump (the open dialog answered in code).
//
// Prints the wall time of the write against the line-rate floor (the line time of every
// byte that crossed the line, read from the board's log, plus the erase), and the share
// of one core the front end used meanwhile. Asserts nothing.
//
//   fwrite_bench [--kb N] [--erase-ms N] [--show] [--keep]
//     --kb N        image of N KiB less the 128-byte tail room (default 960: the largest)
//     --erase-ms N  how long the board's erase takes (default 1500)
//     --show        show the main window (painted on the offscreen platform) during the write
//     --keep        keep the temporary directory (S-record file, board log, flash) and say where
#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/TForm1.h"
#include "bench/BoardLog.h"
#include "boot/BootProtocol.h"
#include "gui/qt/QtToolkit.h"
#include "image/FlashImage.h"
#include "monitor/TForm2.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/PosixSerial.h"
#include "tests/image_records.h"
#include "tests/support/SimProcess.h"

namespace {

using namespace h8sx::bench;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kTailRoom = h8sx::kTailLength;
constexpr std::size_t kRecordData = 32;  // data bytes per S3 record
constexpr std::size_t kBlock = h8sx::boot::kBlockSize;
constexpr std::size_t kProgramCommandLength = h8sx::boot::kProgramCommandLength;

struct Options {
    unsigned kb = 960;
    unsigned eraseMs = 1500;
    bool show = false;
    bool keep = false;
};

[[noreturn]] void Usage() {
    std::fprintf(stderr, "usage: fwrite_bench [--kb N (1..960)] [--erase-ms N] [--show] [--keep]\n");
    std::exit(2);
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto number = [&](unsigned lo, unsigned hi) { return NumberArgument(argc, argv, i, lo, hi, Usage); };
        if (a == "--kb") o.kb = number(1, 960);
        else if (a == "--erase-ms") o.eraseMs = number(0, 4'000'000);
        else if (a == "--show") o.show = true;
        else if (a == "--keep") o.keep = true;
        else Usage();
    }
    return o;
}

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The image as S3 records of 32 data bytes behind a header, closed by an S7 record, with
// CR LF line ends.
void WriteSRecords(const fs::path& path, const std::vector<std::uint8_t>& image) {
    std::ofstream out(path, std::ios::binary);
    out << h8sx::test::SRecordFile(image, 3, 0, kRecordData, "\r\n");
    if (!out.flush()) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

// "median .. us, 99% .. us, max .. us" of durations in seconds.
std::string Spread(std::vector<double> v) {
    if (v.empty()) return "none";
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) { return v[static_cast<std::size_t>(q * double(v.size() - 1))] * 1e6; };
    char text[128];
    std::snprintf(text, sizeof text, "median %.0f us, 99%% %.0f us, max %.0f us", at(0.5), at(0.99), at(1.0));
    return text;
}

// The writer's own time between two programming commands: from the read that takes the
// answer to the return of the write of the next command (the status line, the progress
// bar and the next block built between). And when the first block went out.
class TimedDevice : public h8sx::posix::PosixSerialDevice {
public:
    std::vector<double> gaps;  // seconds
    std::optional<Clock::time_point> firstBlock;

    std::size_t Read(h8sx::ComHandleValue h, std::uint8_t* buf, std::size_t n) override {
        const std::size_t got = PosixSerialDevice::Read(h, buf, n);
        if (got > 0) readAt_ = Clock::now();
        return got;
    }
    std::size_t Write(h8sx::ComHandleValue h, const std::uint8_t* buf, std::size_t n) override {
        const std::size_t put = PosixSerialDevice::Write(h, buf, n);
        const bool block = n == kProgramCommandLength;
        if (block && !firstBlock) firstBlock = Clock::now();
        if (block && lastWasBlock_ && readAt_)
            gaps.push_back(std::chrono::duration<double>(Clock::now() - *readAt_).count());
        lastWasBlock_ = block;
        readAt_.reset();
        return put;
    }

private:
    std::optional<Clock::time_point> readAt_;
    bool lastWasBlock_ = false;
};

// Counts the passes of the waits' pump.
class CountingToolkit : public h8sx::qt::QtToolkit {
public:
    using QtToolkit::QtToolkit;
    long waits = 0;
    void WaitAndProcessMessages() override {
        ++waits;
        QtToolkit::WaitAndProcessMessages();
    }
};

// A platform whose settings file lives in the bench's temporary directory.
class BenchPlatform : public h8sx::posix::PosixPlatform {
public:
    explicit BenchPlatform(std::string dir) : dir_(std::move(dir)) {}
    std::string SettingsDirectory() override { return dir_; }

private:
    std::string dir_;
};

}  // namespace

int main(int argc, char** argv) {
    const Options o = Parse(argc, argv);
    char pattern[] = "/tmp/fwrite_bench.XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = pattern;
    // Qt wants a private runtime directory and complains without one.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) qputenv("XDG_RUNTIME_DIR", pattern);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const fs::path mot = dir / "image.mot", log = dir / "board.log", flash = dir / "flash.bin";

    const std::vector<std::uint8_t> image = MakeImage(std::size_t{o.kb} * 1024 - kTailRoom);
    WriteSRecords(mot, image);
    const std::size_t blocks = (image.size() + kBlock - 1) / kBlock;

    // Far more than the write needs; it only keeps a broken run from leaving the board behind.
    const double limit = 60 + 3 * (double(blocks) * 135 * 10 / 38400 + o.eraseMs / 1000.0);
    h8sx::test::SimProcess sim({"--pace", "--erase-ms", std::to_string(o.eraseMs), "--log", log.string(),
                                "--flash-out", flash.string(), "--timeout", std::to_string(int(limit))});
    if (!sim.Started()) {
        std::fprintf(stderr, "fwrite_bench: %s did not start\n", h8sx::test::SimProcess::Program().c_str());
        std::error_code ec;
        fs::remove_all(dir, ec);
        return 1;
    }
    ::setenv("H8SX_COM1", sim.TerminalPath().c_str(), 1);

    double wall = 0, cpu = 0;
    std::string status;
    std::vector<double> writerGaps;
    long pumpPasses = 0;
    double fileSeconds = 0;
    {
        TimedDevice device;
        BenchPlatform platform(dir.string() + "/");
        CountingToolkit toolkit([&device] { return device.CurrentFd(); });
        h8sx::TForm1 form1(device, toolkit, platform);
        h8sx::TForm2 form2(form1);
        toolkit.Connect(form1, form2);
        std::optional<Clock::time_point> answered;
        toolkit.dialogRunner = [&](QFileDialog&) -> std::optional<std::string> {
            answered = Clock::now();
            return mot.string();
        };
        if (o.show) {
            // Its first showing runs FormShow: the settings file, then COM1 opened at 19200.
            toolkit.Form1Window().show();
            QCoreApplication::processEvents();
        }

        auto* fwrite = toolkit.Form1Window().As<QPushButton>("Button1");
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        fwrite->click();  // the whole write runs inside the click
        wall = std::chrono::duration<double>(Clock::now() - t0).count();
        cpu = CpuSeconds() - cpu0;
        status = toolkit.Form1Window().As<QLabel>("Label3")->text().toStdString();
        writerGaps = std::move(device.gaps);
        if (answered && device.firstBlock) fileSeconds = std::chrono::duration<double>(*device.firstBlock - *answered).count();
        pumpPasses = toolkit.waits;
    }
    sim.Stop();

    LineFigures line = ReadLog(log);
    const double floor = line.byteSeconds + o.eraseMs / 1000.0;
    const auto difference = FirstDifference(flash, image);

    std::printf("image              %zu bytes (%u KiB less %zu), %zu blocks of %zu\n", image.size(), o.kb, kTailRoom,
                blocks, kBlock);
    std::printf("erase              %u ms\n", o.eraseMs);
    std::printf("wall time          %.3f s  (click to the return of Button1Click)\n", wall);
    std::printf("line-rate floor    %.3f s  (%ld bytes on the line, %.3f s, plus the erase)\n", floor, line.bytes,
                line.byteSeconds);
    std::printf("ratio wall/floor   %.4f\n", wall / floor);
    std::printf("CPU (user+sys)     %.3f s = %.2f %% of the wall time\n", cpu, 100.0 * cpu / wall);
    std::printf("turnaround         %s  (answer on the line to the next command on it)\n",
                Spread(line.turnarounds).c_str());
    std::printf("writer per block   %s  (answer read to next command written)\n", Spread(writerGaps).c_str());
    std::printf("file read          %.3f s  (dialog answered to the first block sent)\n", fileSeconds);
    std::printf("pump passes        %ld, %.1f per block\n", pumpPasses, blocks ? double(pumpPasses) / double(blocks) : 0.0);
    std::printf("status line        %s\n", status.c_str());
    if (difference)
        std::printf("flash = image      no (first difference at 0x%zX)\n", *difference);
    else
        std::printf("flash = image      yes\n");

    if (o.keep) {
        std::printf("kept               %s\n", dir.c_str());
    } else {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    return status == "書き込み正常終了" && !difference ? 0 : 1;
}
