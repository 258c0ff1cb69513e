#include "tests/support/SimProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>

namespace h8sx::test {

namespace {
constexpr int kStartMillis = 10'000;  // generous: a sanitizer build starts slowly
}

std::string SimProcess::Program() {
#ifdef H8SX_SIM_PATH
    return H8SX_SIM_PATH;
#else
    return "h8sx-sim";
#endif
}

SimProcess::SimProcess(const std::vector<std::string>& args, std::size_t terminals) {
    int out[2];
    if (::pipe(out) != 0) return;
    std::vector<std::string> argv{Program()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execv(cargv[0], cargv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    if (pid_ < 0) {
        ::close(out[0]);
        return;
    }
    std::vector<std::string> paths;
    std::string line;
    while (paths.size() < terminals) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, kStartMillis) <= 0) break;
        char c;
        const ssize_t n = ::read(out[0], &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (c == '\n') {
            paths.push_back(line);
            line.clear();
            continue;
        }
        line += c;
    }
    if (paths.size() == terminals) paths_ = paths;
    ::close(out[0]);
}

SimProcess::~SimProcess() { Stop(); }

int SimProcess::Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    pid_t r;
    do r = ::waitpid(pid_, &status, 0);
    while (r < 0 && errno == EINTR);
    pid_ = -1;
    return r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int SimProcess::Stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    return Wait();
}

std::vector<SimLogLine> ReadSimLog(const std::string& path) {
    std::vector<SimLogLine> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string time;
        SimLogLine l;
        fields >> time >> l.what;
        const std::size_t dot = time.find('.');
        if (dot == std::string::npos) continue;
        l.micros = std::stoull(time.substr(0, dot)) * 1'000'000 + std::stoull(time.substr(dot + 1));
        std::getline(fields >> std::ws, l.text);
        lines.push_back(l);
    }
    return lines;
}

std::vector<std::uint8_t> ReadBytes(posix::PosixSerialDevice& device, ComHandleValue h, std::size_t n,
                                    std::chrono::milliseconds quiet) {
    std::vector<std::uint8_t> got;
    while (got.size() < n) {
        pollfd p{device.CurrentFd(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
        std::uint8_t buf[256];
        const std::size_t k = device.Read(h, buf, std::min(sizeof buf, n - got.size()));
        if (k == 0 && (p.revents & (POLLHUP | POLLERR))) break;
        got.insert(got.end(), buf, buf + k);
    }
    return got;
}

}  // namespace h8sx::test
