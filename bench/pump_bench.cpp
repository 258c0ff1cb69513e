// How the Qt pump waits: CPU share of a process whose waits find nothing on the port,
// and how soon a wait notices a byte, both with the port empty and while bytes wait
// unread (a wait for more than has come). Prints figures; asserts nothing.
//
//   pump_bench [seconds per phase, default 5]
#include <QApplication>

#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "gui/qt/QtToolkit.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int Queued(int fd) {
    int n = 0;
    ::ioctl(fd, FIONREAD, &n);
    return n;
}

// Waits for `seconds` with the port as it is; prints the CPU share and the waits per second.
void Idle(h8sx::qt::QtToolkit& toolkit, const char* what, double seconds) {
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    long calls = 0;
    while (std::chrono::duration<double>(Clock::now() - t0).count() < seconds) {
        toolkit.WaitAndProcessMessages();
        ++calls;
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("%-34s CPU %5.2f %%   %6.0f waits/s\n", what, 100.0 * (CpuSeconds() - cpu0) / wall, calls / wall);
}

// A byte written from another thread at a random moment; the time until a wait returns
// and the port shows it. `unread` bytes are left waiting throughout.
void Latency(h8sx::qt::QtToolkit& toolkit, int master, int slave, const char* what, int samples, int unread) {
    std::vector<double> micros;
    std::atomic<long long> writtenAt{0};
    for (int i = 0; i < samples; ++i) {
        const int before = Queued(slave);
        std::thread writer([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(3000 + std::rand() % 7000));
            writtenAt = Clock::now().time_since_epoch().count();
            const unsigned char b = 0x55;
            if (::write(master, &b, 1) != 1) std::perror("write");
        });
        while (Queued(slave) == before) toolkit.WaitAndProcessMessages();
        const long long seen = Clock::now().time_since_epoch().count();
        writer.join();
        micros.push_back(double(seen - writtenAt.load()) / 1000.0);
        // Back to the state of the phase: `unread` bytes waiting.
        unsigned char sink[64];
        while (Queued(slave) > unread)
            if (::read(slave, sink, 1) != 1) break;
    }
    std::sort(micros.begin(), micros.end());
    std::printf("%-34s median %6.0f us   90%% %6.0f us   max %6.0f us  (%d bytes)\n", what, micros[micros.size() / 2],
                micros[micros.size() * 9 / 10], micros.back(), samples);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;

    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);

    h8sx::qt::QtToolkit toolkit([slave] { return slave; });
    Idle(toolkit, "wait, port empty", seconds);
    Latency(toolkit, master, slave, "notice a byte, port empty", 200, 0);

    const unsigned char three[3] = {1, 2, 3};
    if (::write(master, three, 3) != 3) std::perror("write");
    while (Queued(slave) < 3) toolkit.WaitAndProcessMessages();
    Idle(toolkit, "wait, 3 bytes unread", seconds);
    Latency(toolkit, master, slave, "notice a byte, 3 bytes unread", 200, 3);

    h8sx::qt::QtToolkit noPort;
    Idle(noPort, "wait, no port", seconds);
    return 0;
}
