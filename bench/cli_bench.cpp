// h8sx side by side: one paced board and one `h8sx write` per port, all at once, as a bench
// of boards is flashed. Then one monitor at rest.
//
// Prints, for each write, the wall time against its line-rate floor (the line time of every
// byte that crossed its line, from its board's log, plus the erase) and the share of a core
// that h8sx used; and the share a monitor uses while the board says nothing. Asserts nothing.
//
// For each write also the reaction per block on the line (from an answer's arrival to the
// next block's first byte on the line: the writer, the pseudo-terminal both ways and the
// board's own waking): median and 99th percentile. Then one more write of the same image
// with h8sx's write running in this process on the real serial layer, timed at the port:
// the writer's own reaction, from the read that takes an answer to the write of the next
// block.
//
//   cli_bench [--writes N] [--kb N] [--erase-ms N] [--chip-timing[=max]] [--latency MS]
//             [--monitor-s S] [--bit-rate R] [--verify V]
//     --writes N     writes at once (default 4)
//     --kb N         image of N KiB less the 128-byte tail room (default 960: the largest)
//     --erase-ms N   how long each board's erase takes (default 1500)
//     --chip-timing  the boards' flash takes the chip's typical times (=max: the maximum);
//                    the floor then holds the erase and every block's programming time
//     --latency MS   the boards' answers held as by a USB adapter's latency timer
//     --station      all boards in one h8sx-sim (--boards N) instead of one process each
//     --one-h8sx     one board alone, then all of them in one h8sx (--port p1,...,pN), each
//                    board's time from the production log; implies --station
//     --monitor-s S  how long the monitor at rest is measured (default 10; 0: not at all)
//     --bit-rate R   h8sx write --bit-rate R (default 38400)
//     --verify V     sum (default), read or none: h8sx write --verify=V or --no-verify
//     --trace        each write traces its line (h8sx write --trace), to see what that costs
//     --noise BER    the boards' lines flip bits both ways (board n seeded with n)
//     --retries N    h8sx write --retries N (default: h8sx's own, 3)
//     --no-reaction  leave out the in-process write that times the writer's own reaction
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BoardLog.h"
#include "cli/CliPump.h"
#include "cli/Commands.h"
#include "cli/Output.h"
#include "cli/Session.h"
#include "cli/System.h"
#include "platform/posix/PosixSerial.h"
#include "sim/Board.h"
#include "image/FlashImage.h"
#include "tests/image_records.h"
#include "tests/support/SimProcess.h"

namespace {

using namespace h8sx::bench;
using Clock = std::chrono::steady_clock;

struct Options {
    unsigned writes = 4;
    unsigned kb = 960;
    unsigned eraseMs = 1500;
    h8sx::sim::ChipTiming chipTiming = h8sx::sim::ChipTiming::Off;
    unsigned latencyMs = 0;
    bool station = false;
    bool oneH8sx = false;
    unsigned monitorSeconds = 10;
    unsigned bitRate = 38400;
    std::string verify = "sum";
    bool trace = false;
    std::string noise;
    std::string retries;
    bool reaction = true;
};

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: cli_bench [--writes N] [--kb N (1..960)] [--erase-ms N] [--chip-timing[=max]] "
                 "[--latency MS] [--station] [--one-h8sx] [--monitor-s S] [--bit-rate R] [--verify sum|read|none] [--trace] "
                 "[--noise BER] [--retries N] [--no-reaction]\n");
    std::exit(2);
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto number = [&](unsigned lo, unsigned hi) {
            return NumberArgument(argc, argv, i, lo, hi, Usage);
        };
        if (a == "--writes")
            o.writes = number(1, 32);
        else if (a == "--kb")
            o.kb = number(1, 960);
        else if (a == "--erase-ms")
            o.eraseMs = number(0, 4'000'000);
        else if (a == "--chip-timing" || a == "--chip-timing=max")
            o.chipTiming = a == "--chip-timing" ? h8sx::sim::ChipTiming::Typical : h8sx::sim::ChipTiming::Maximum;
        else if (a == "--latency")
            o.latencyMs = number(0, 1000);
        else if (a == "--one-h8sx")
            o.oneH8sx = o.station = true;
        else if (a == "--station")
            o.station = true;
        else if (a == "--monitor-s")
            o.monitorSeconds = number(0, 3600);
        else if (a == "--bit-rate")
            o.bitRate = number(300, 10'000'000);
        else if (a == "--verify" && i + 1 < argc)
            o.verify = argv[++i];
        else if (a == "--trace")
            o.trace = true;
        else if (a == "--noise" && i + 1 < argc)
            o.noise = argv[++i];
        else if (a == "--retries")
            o.retries = std::to_string(number(0, 100));
        else if (a == "--no-reaction")
            o.reaction = false;
        else
            Usage();
    }
    return o;
}

// The paced board as the options make it, and more arguments.
std::vector<std::string> BoardArguments(const Options& o, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--pace", "--erase-ms", std::to_string(o.eraseMs), "--latency",
                                  std::to_string(o.latencyMs)};
    if (o.chipTiming != h8sx::sim::ChipTiming::Off)
        args.push_back(o.chipTiming == h8sx::sim::ChipTiming::Typical ? "--chip-timing" : "--chip-timing=max");
    if (!o.noise.empty()) args.insert(args.end(), {"--noise", o.noise});
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// The time the board's flash takes in a write of `blocks` blocks.
double FlashSeconds(const Options& o, std::size_t blocks) {
    if (o.chipTiming == h8sx::sim::ChipTiming::Off) return o.eraseMs / 1000.0;
    return double(h8sx::sim::EraseAllMicros(o.chipTiming) + blocks * h8sx::sim::ProgrammingMicros(o.chipTiming)) / 1e6;
}

// The user and system time a process has used so far, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) user = std::stoull(field);
        if (i == 15) system = std::stoull(field);
    }
    return double(user + system) / double(::sysconf(_SC_CLK_TCK));
}

// h8sx with standard input from /dev/null (or an open pipe) and its output thrown away.
pid_t Start(const std::vector<std::string>& args, int stdinFd = -1) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(stdinFd >= 0 ? stdinFd : null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<std::string> argv{H8SX_CLI_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> c;
        for (auto& a : argv) c.push_back(a.data());
        c.push_back(nullptr);
        ::execv(c[0], c.data());
        ::_exit(127);
    }
    return pid;
}

struct Ended {
    int status = -1;
    double cpu = 0;  // user + system seconds
};

Ended Reap(pid_t pid) {
    int status = 0;
    rusage u{};
    ::wait4(pid, &status, 0, &u);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6};
}

// The system's port, with the time of every read that takes bytes and every block written.
class TimedPort final : public h8sx::posix::PosixSerialDevice {
   public:
    std::size_t Read(h8sx::ComHandleValue h, std::uint8_t* buf, std::size_t n) override {
        const std::size_t got = PosixSerialDevice::Read(h, buf, n);
        if (got > 0) lastRead_ = Clock::now();
        return got;
    }
    std::size_t Write(h8sx::ComHandleValue h, const std::uint8_t* buf, std::size_t n) override {
        if (n == h8sx::boot::kProgramCommandLength && lastRead_ && sawBlock_)
            reactions.push_back(std::chrono::duration<double>(Clock::now() - *lastRead_).count());
        sawBlock_ = sawBlock_ || n == h8sx::boot::kProgramCommandLength;
        return PosixSerialDevice::Write(h, buf, n);
    }
    std::vector<double> reactions;

   private:
    std::optional<Clock::time_point> lastRead_;
    bool sawBlock_ = false;
};

double Quantile(std::vector<double>& v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::size_t(q * double(v.size() - 1))];
}

// h8sx write's own code in this process, against a paced board: its reaction per block.
void WriterReaction(const Options& o, const fs::path& mot) {
    h8sx::test::SimProcess sim(BoardArguments(o));
    if (!sim.Started()) return;
    h8sx::cli::Options options;
    options.file = mot.string();
    options.ports = {sim.TerminalPath()};
    options.quiet = true;
    options.bitRate = o.bitRate;
    options.verify = o.verify == "none" ? h8sx::Verify::None : o.verify == "read" ? h8sx::Verify::Read : h8sx::Verify::Sum;
    TimedPort port;
    const auto platform = h8sx::cli::NewPlatform();
    std::FILE* null = std::fopen("/dev/null", "w");
    h8sx::cli::Output out(true, false, null);
    h8sx::cli::CliPump pump([&port] { return port.CurrentFd(); }, [&out] { return out.Failed(); });
    h8sx::cli::Session session(options, port, *platform, pump, out);
    pump.link = &session.link;
    pump.onTick = [&session] { session.Tick(); };
    const int status = h8sx::cli::Write(session);
    std::fclose(null);
    std::printf("writer's own reaction (in process, %zu blocks, status %d): median %.3f ms, 99%% %.3f ms\n",
                port.reactions.size() + 1, status, 1000 * Quantile(port.reactions, 0.5),
                1000 * Quantile(port.reactions, 0.99));
}

// The seconds of each board's write in a production log, by its port.
std::vector<std::pair<std::string, double>> LoggedSeconds(const fs::path& log) {
    std::vector<std::pair<std::string, double>> boards;
    std::ifstream in(log);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::istringstream row(line);
        for (std::string f; std::getline(row, f, ',');) fields.push_back(f);
        if (fields.size() >= 16) boards.emplace_back(fields[2] + " status " + fields[15], std::stod(fields[11]));
    }
    return boards;
}

// A station: one board alone, then every board in one h8sx; each board's time against the
// one alone, and the h8sx process's CPU per board.
int OneH8sx(const Options& o, const fs::path& dir, const fs::path& mot, const std::string& timeout) {
    const auto run = [&](unsigned boards, const std::string& name) {
        h8sx::test::SimProcess sim(
            BoardArguments(o, {"--boards", std::to_string(boards), "--timeout", timeout}), boards);
        std::string ports;
        for (const std::string& p : sim.TerminalPaths()) ports += (ports.empty() ? "" : ",") + p;
        const fs::path log = dir / (name + ".csv");
        const auto t0 = Clock::now();
        const pid_t pid = Start({"write", "--quiet", "--bit-rate", std::to_string(o.bitRate),
                                 o.verify == "none" ? "--no-verify" : "--verify=" + o.verify, "--port", ports, "--log",
                                 log.string(), mot.string()});
        const Ended e = Reap(pid);
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double simCpu = CpuSeconds(sim.Pid());
        sim.Stop();
        std::printf("%s: status %d, wall %.2f s, h8sx CPU %.3f s = %.2f %% of a core (%.3f %% per board), boards' "
                    "process %.2f %% of a core\n",
                    name.c_str(), e.status, wall, e.cpu, 100 * e.cpu / wall, 100 * e.cpu / wall / boards,
                    100 * simCpu / wall);
        return LoggedSeconds(log);
    };
    const auto alone = run(1, "one board alone");
    if (alone.empty()) return 1;
    const double single = alone.front().second;
    const auto all = run(o.writes, std::to_string(o.writes) + " boards in one h8sx");
    double worst = 0;
    for (const auto& [board, seconds] : all) {
        std::printf("  %-40s %8.2f s  %+6.2f %% against one board alone\n", board.c_str(), seconds,
                    100 * (seconds / single - 1));
        worst = std::max(worst, seconds / single - 1);
    }
    std::printf("the slowest board: %+.2f %% (one alone: %.2f s)\n", 100 * worst, single);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = Parse(argc, argv);
    char pattern[] = "/tmp/cli_bench.XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = pattern;
    const std::vector<std::uint8_t> image = MakeImage(std::size_t{o.kb} * 1024 - h8sx::kTailLength);
    const fs::path mot = dir / "image.mot";
    std::ofstream(mot, std::ios::binary) << h8sx::test::SRecordFile(image, 3, 0, 32, "\r\n");
    const std::size_t blocks = (image.size() + h8sx::boot::kBlockSize - 1) / h8sx::boot::kBlockSize;
    const double limit = 60 + 3 * (double(blocks) * 135 * 10 * (o.verify == "read" ? 2 : 1) / o.bitRate +
                                   FlashSeconds(o, blocks) + double(blocks) * o.latencyMs / 1000.0);

    struct Write {
        fs::path log, flash;
        std::unique_ptr<h8sx::test::SimProcess> sim;
        std::string port;
        pid_t pid = -1;
        double wall = 0;
        Ended ended;
    };
    std::vector<Write> writes(o.writes);
    const std::string timeout = std::to_string(int(limit));
    if (o.oneH8sx) {
        const int status = OneH8sx(o, dir, mot, timeout);
        std::error_code ec;
        fs::remove_all(dir, ec);
        return status;
    }
    // A station: one process, its boards' files numbered from 1.
    std::unique_ptr<h8sx::test::SimProcess> station;
    if (o.station)
        station = std::make_unique<h8sx::test::SimProcess>(
            BoardArguments(o, {"--boards", std::to_string(o.writes), "--log", (dir / "board{n}.log").string(),
                               "--flash-out", (dir / "flash{n}.bin").string(), "--timeout", timeout}),
            o.writes);
    for (unsigned i = 0; i < o.writes; ++i) {
        Write& w = writes[i];
        w.log = dir / ("board" + std::to_string(i + 1) + ".log");
        w.flash = dir / ("flash" + std::to_string(i + 1) + ".bin");
        if (!station)
            w.sim = std::make_unique<h8sx::test::SimProcess>(
                BoardArguments(o, {"--log", w.log.string(), "--flash-out", w.flash.string(), "--timeout", timeout,
                                   "--seed", std::to_string(i + 1)}));
        const h8sx::test::SimProcess& sim = station ? *station : *w.sim;
        if (!sim.Started()) {
            std::fprintf(stderr, "cli_bench: %s did not start\n", h8sx::test::SimProcess::Program().c_str());
            return 1;
        }
        w.port = station ? station->TerminalPaths()[i] : w.sim->TerminalPath();
    }
    std::printf("image      %zu bytes, %zu blocks; %u writes at once, flash %.2f s, %u bit/s, verify %s, latency %u ms%s%s%s%s\n",
                image.size(), blocks, o.writes, FlashSeconds(o, blocks), o.bitRate, o.verify.c_str(), o.latencyMs,
                o.trace ? ", traced" : "", o.noise.empty() ? "" : (", noise " + o.noise).c_str(),
                o.retries.empty() ? "" : ", retries ", o.retries.c_str());
    const auto t0 = Clock::now();
    for (std::size_t i = 0; i < writes.size(); ++i) {
        Write& w = writes[i];
        std::vector<std::string> args{"write", "--quiet", "--bit-rate", std::to_string(o.bitRate),
                                      o.verify == "none" ? "--no-verify" : "--verify=" + o.verify, "--port", w.port,
                                      mot.string()};
        if (o.trace) args.insert(args.end(), {"--trace", (dir / ("trace" + std::to_string(i + 1) + ".txt")).string()});
        if (!o.retries.empty()) args.insert(args.end(), {"--retries", o.retries});
        w.pid = Start(args);
    }
    for (std::size_t left = writes.size(); left > 0; --left) {
        int status = 0;
        rusage u{};
        const pid_t pid = ::wait4(-1, &status, 0, &u);
        for (Write& w : writes)
            if (w.pid == pid) {
                w.wall = std::chrono::duration<double>(Clock::now() - t0).count();
                w.ended = {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                           double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                               double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6};
            }
    }
    std::printf("%-6s %-8s %-9s %-9s %-8s %-7s %-14s %-14s %s\n", "write", "status", "wall s", "floor s", "ratio",
                "CPU %", "reaction ms", "p99 ms", "flash = image");
    const double writesWall = std::chrono::duration<double>(Clock::now() - t0).count();
    double boardCpu = 0;
    for (Write& w : writes)
        if (w.sim) boardCpu += CpuSeconds(w.sim->Pid());
    if (station) boardCpu = CpuSeconds(station->Pid());
    for (std::size_t i = 0; i < writes.size(); ++i) {
        Write& w = writes[i];
        if (w.sim) w.sim->Stop();
        if (station && i == 0) station->Stop();
        LineFigures line = ReadLog(w.log);
        // One latency per answer: the programming's blocks are nearly all of them.
        const double floor = line.byteSeconds + FlashSeconds(o, blocks) + double(blocks) * o.latencyMs / 1000.0;
        std::sort(line.turnarounds.begin(), line.turnarounds.end());
        const auto at = [&](double q) {
            return line.turnarounds.empty() ? 0.0
                                            : 1000 * line.turnarounds[std::size_t(q * double(line.turnarounds.size() - 1))];
        };
        std::printf("%-6zu %-8d %-9.3f %-9.3f %-8.4f %-7.2f %-14.3f %-14.3f %s\n", i, w.ended.status, w.wall, floor,
                    w.wall / floor, 100.0 * w.ended.cpu / w.wall, at(0.5), at(0.99),
                    FirstDifference(w.flash, image) ? "no" : "yes");
    }
    unsigned verified = 0;
    for (const Write& w : writes) verified += w.ended.status == 0;
    std::printf("writes ended verified (status 0): %u of %zu\n", verified, writes.size());
    std::printf("boards (%s): CPU %.3f s = %.2f %% of a core over %.1f s\n",
                station ? "one station process" : "one process each", boardCpu, 100.0 * boardCpu / writesWall,
                writesWall);

    if (o.reaction) WriterReaction(o, mot);

    if (o.monitorSeconds > 0) {
        // A monitor attached to a board that says nothing, its input a pipe that stays open.
        h8sx::test::SimProcess sim;
        int keys[2];
        if (!sim.Started() || ::pipe(keys) != 0) return 1;
        const auto m0 = Clock::now();
        const pid_t pid = Start({"monitor", "--no-reset", "--port", sim.TerminalPath(), "--timeout",
                                 std::to_string(o.monitorSeconds)},
                                keys[0]);
        const Ended e = Reap(pid);
        const double wall = std::chrono::duration<double>(Clock::now() - m0).count();
        ::close(keys[0]);
        ::close(keys[1]);
        std::printf("monitor at rest: %.1f s, CPU %.3f s = %.3f %% of a core (status %d)\n", wall, e.cpu,
                    100.0 * e.cpu / wall, e.status);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
