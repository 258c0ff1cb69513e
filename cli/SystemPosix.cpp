#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/System.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/PosixSerial.h"

namespace h8sx::cli {

namespace {

volatile std::sig_atomic_t g_stop = 0;
// The pumps' wake pipes: the signal handler writes to each, so that every sleep in poll()
// wakes at once. A pipe, once made, stays open for the next pump that takes its slot, so
// that the handler never writes to a descriptor closed and given to another file.
constexpr int kWakers = 64;
std::atomic<int> g_wakers[kWakers];  // the write ends, plus one (0: none made yet)
int g_wakerReads[kWakers];
std::atomic<bool> g_wakerTaken[kWakers];

termios g_savedTerminal{};
volatile std::sig_atomic_t g_terminalRaw = 0;

void OnStop(int) {
    g_stop = 1;
    const int saved = errno;
    for (std::atomic<int>& w : g_wakers)
        if (const int fd = w.load() - 1; fd >= 0) [[maybe_unused]] const ssize_t n = ::write(fd, "x", 1);
    errno = saved;
}

std::string UserName(uid_t uid) {
    const passwd* pw = ::getpwuid(uid);
    return pw ? pw->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    const group* gr = ::getgrgid(gid);
    return gr ? gr->gr_name : std::to_string(gid);
}

// The groups the user belongs to by the system's lists, whether or not this login has
// them yet.
bool UserListedIn(gid_t gid) {
    const passwd* pw = ::getpwuid(::getuid());
    if (!pw) return false;
    int n = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<std::size_t>(n));
        if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n) < 0) return false;
    }
    groups.resize(static_cast<std::size_t>(n));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// What to do about a device that refused this user: join its group, where that is one a
// user joins; log in again, where the user joined it after this login began; nothing to
// join, where only its owner (or root's group) may open it.
std::string PermissionRemedy(const std::string& device) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) return {};
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const bool groupMay = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!groupMay)
        return "only its owner, " + UserName(st.st_uid) + ", may open it (mode " + mode +
               "): run as that user, or have the device given a group you can join";
    const std::string group = GroupName(st.st_gid);
    if (st.st_gid == 0)
        return "only root and the group root may open it (mode " + std::string(mode) +
               "): have the device given a group you can join (a udev rule), or run as root";
    if (UserListedIn(st.st_gid))
        return "you are in the group " + group + ", but this login began before you were added: log out and in "
               "again (or 'newgrp " + group + "')";
    return "add yourself to the group " + group + ": sudo usermod -aG " + group + " $USER, then log in again";
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) { return {argv, argv + argc}; }

SystemSerial NewSerialDevice() {
    auto device = std::make_unique<posix::PosixSerialDevice>();
    posix::PosixSerialDevice* port = device.get();
    return {std::move(device), [port] { return port->CurrentFd(); }};
}
std::unique_ptr<Platform> NewPlatform() { return std::make_unique<posix::PosixPlatform>(); }

std::string PortDevice(const std::string& name) { return name; }  // the serial layer resolves COMn

std::string PortDeviceShown(const std::string& name) {
    const std::string device = posix::DevicePathFor(name);
    return device == name ? std::string() : device;
}

std::string PortDeviceOrigin(const std::string& name) {
    const int number = posix::ComNumber(name);
    if (number == 0) return {};
    const std::string variable = "H8SX_COM" + std::to_string(number);
    const char* value = std::getenv(variable.c_str());
    return value && *value ? variable : std::string();
}

std::string OpenFailureRemedy(const OpenError& error, const std::string& device) {
    switch (error.kind) {
        case OpenError::Kind::Denied: return PermissionRemedy(device);
        case OpenError::Kind::Busy: return "another program holds it: fuser -v " + device + " names it";
        case OpenError::Kind::Missing: return "no such port: 'h8sx ports' lists the ports of this machine";
        case OpenError::Kind::None:
        case OpenError::Kind::Other: return {};
    }
    return {};
}

void UseUtf8Console() {}
void UseBinaryStdout() {}
bool StdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }
bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

int StderrColumns() {
    winsize w{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &w) == 0 ? w.ws_col : 0;
}

bool StdoutReaderGone() {
    // The write end of a pipe reports an error condition once its read end is closed.
    pollfd p{STDOUT_FILENO, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0 && ::isatty(STDOUT_FILENO) == 0;
}

void InstallStopHandlers() {
#ifdef __linux__
    // The waits sleep to the next tick or a millisecond at a time: without the kernel's
    // default slack they wake when asked, not up to 50 µs late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    // A pipe that closes under the monitor's output is an end, not a crash.
    ::signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return g_stop != 0; }

void RequestStop() { OnStop(SIGINT); }

bool UseTerminalSequences() { return true; }

void WaitForInput(bool forInput, std::chrono::milliseconds max) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    ::poll(&p, forInput ? 1 : 0, static_cast<int>(max.count()));
}

std::string DeviceIdentity(const std::string& name) {
    const std::string device = posix::DevicePathFor(name);
    char* real = ::realpath(device.c_str(), nullptr);
    if (!real) return device;
    std::string identity = real;
    std::free(real);
    return identity;
}

std::string DeviceShortName(const std::string& name) {
    std::string device = DeviceIdentity(name);
    if (device == name) return {};
    if (device.rfind("/dev/", 0) == 0) device.erase(0, 5);
    return device;
}

std::string AdapterName(const std::string& name) {
    // The by-id link that leads to the same device: the adapter's maker, model and serial.
    const char* root = std::getenv("H8SX_DEV_ROOT");
    const std::string byId = std::string(root && *root ? root : "/dev") + "/serial/by-id";
    const std::string device = DeviceIdentity(name);
    DIR* dir = ::opendir(byId.c_str());
    if (!dir) return {};
    std::string found;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string link = byId + "/" + e->d_name;
        char* real = ::realpath(link.c_str(), nullptr);
        if (real && device == real) found = e->d_name;
        std::free(real);
        if (!found.empty()) break;
    }
    ::closedir(dir);
    return found;
}

StopWaker::StopWaker() {
    for (int i = 0; i < kWakers && slot_ < 0; ++i) {
        bool free = false;
        if (g_wakerTaken[i].compare_exchange_strong(free, true)) slot_ = i;
    }
    if (slot_ < 0) return;  // more pumps than slots: this one's sleeps end at the tick
    if (g_wakers[slot_].load() == 0) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        for (int fd : fds) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        for (int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        g_wakerReads[slot_] = fds[0];
        g_wakers[slot_].store(fds[1] + 1);
    }
    handle_ = g_wakerReads[slot_];
    Drain();
    // A stop that came before this pump: its first sleep ends at once too.
    if (g_stop) [[maybe_unused]] const ssize_t n = ::write(g_wakers[slot_].load() - 1, "x", 1);
}

StopWaker::~StopWaker() {
    if (slot_ >= 0) g_wakerTaken[slot_].store(false);
}

void StopWaker::Drain() const {
    char drained[16];
    if (handle_ >= 0)
        while (::read(static_cast<int>(handle_), drained, sizeof drained) > 0) {
        }
}

void Sleep(int portFd, std::chrono::microseconds max, bool wakeOnInput, const StopWaker& waker) {
    if (max.count() <= 0) return;
    pollfd fds[3];
    nfds_t n = 0;
    if (waker.Handle() >= 0) fds[n++] = {static_cast<int>(waker.Handle()), POLLIN, 0};
    if (portFd >= 0) fds[n++] = {portFd, POLLIN, 0};
    if (wakeOnInput) fds[n++] = {STDIN_FILENO, POLLIN, 0};
    const auto us = max.count();
    const timespec timeout{static_cast<time_t>(us / 1'000'000), static_cast<long>(us % 1'000'000) * 1000};
    if (::ppoll(fds, n, &timeout, nullptr) > 0 && waker.Handle() >= 0 && (fds[0].revents & POLLIN)) waker.Drain();
}

KeyInput::KeyInput(bool take) : terminal_(take && StdinIsTerminal()), ended_(!take) {
    if (terminal_) {
        termios t{};
        if (::tcgetattr(STDIN_FILENO, &t) == 0) {
            g_savedTerminal = t;
            // Keys one by one, unechoed, Ctrl-C and Ctrl-] as bytes; output is left as it is,
            // so that a line end still starts a new line.
            t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
            t.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IXON);
            t.c_cc[VMIN] = 0;
            t.c_cc[VTIME] = 0;
            if (::tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0) g_terminalRaw = 1;
        }
    }
}

KeyInput::~KeyInput() {
    if (g_terminalRaw) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
        g_terminalRaw = 0;
    }
}

std::string KeyInput::Take(std::size_t most) {
    std::string bytes;
    if (ended_) return bytes;
    while (bytes.size() < most) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return bytes;
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, std::min(sizeof buf, most - bytes.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A terminal in raw mode reads 0 when nothing waits; a pipe or file has ended.
            if (!terminal_ || (p.revents & POLLHUP)) ended_ = true;
            return bytes;
        }
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    return bytes;
}

}  // namespace h8sx::cli

namespace h8sx::cli {

namespace {

std::string Reason(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

// Writes all of `text` to `fd`.
bool WriteWhole(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A descriptor closed at the end of its scope (and with it any lock it holds).
struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
};

// An exclusive lock on an open file, waited for.
bool LockExclusive(int fd) {
    while (::flock(fd, LOCK_EX) != 0)
        if (errno != EINTR) return false;
    return true;
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = Reason("read", path);
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = Reason("read", path);
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

std::string UpdateFileLocked(const std::string& path,
                             const std::function<std::optional<std::string>(const std::string&)>& update) {
    const std::string lockPath = path + ".lock";
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock < 0) return Reason("create the lock", lockPath);
    const Closer closeLock{lock};
    if (!LockExclusive(lock)) return Reason("lock", lockPath);

    std::string error;
    const std::optional<std::string> content = ReadWholeFile(path, error);
    if (!content) return error;
    const std::optional<std::string> replacement = update(*content);
    if (!replacement) return {};

    // Beside the file, so that the rename stays on its file system; the file's mode kept.
    struct stat st {};
    const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    const std::string temporary = path + ".new-" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return Reason("write", temporary);
    const bool written = WriteWhole(fd, *replacement) && ::fsync(fd) == 0;
    const int saved = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        if (written && closed) errno = saved;
        const std::string why = Reason("write", path);
        ::unlink(temporary.c_str());
        return why;
    }
    // The rename itself on the disk.
    const int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

std::string CanAppend(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return Reason("open", path);
    ::close(fd);
    return {};
}

std::string AppendLocked(const std::string& path, const std::string& header, const std::string& line) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return Reason("open", path);
    const Closer closer{fd};
    if (!LockExclusive(fd)) return Reason("lock", path);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Reason("look at", path);
    const std::string text = st.st_size == 0 ? header + line : line;
    if (WriteWhole(fd, text) && ::fsync(fd) == 0) return {};
    const std::string why = Reason("write", path);
    // No half line stays for the next row to run on from (a full disk takes part of one).
    if (::ftruncate(fd, st.st_size) == 0) ::fsync(fd);
    return why;
}

}  // namespace h8sx::cli

namespace h8sx::cli {

void LocalTime(std::time_t t, std::tm& local) { ::localtime_r(&t, &local); }

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace h8sx::cli
