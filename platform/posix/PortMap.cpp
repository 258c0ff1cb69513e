#include "platform/posix/PortMap.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "platform/posix/PosixPlatform.h"

namespace h8sx::posix {

namespace {

// A hand-written line may name any number a port can have; new adapters get 1 to 6.
constexpr int kHighestComNumber = 256;

std::string RootFrom(std::string given, const char* variable, const char* fallback) {
    if (given.empty())
        if (const char* v = std::getenv(variable); v && *v) given = v;
    if (given.empty()) given = fallback;
    while (given.size() > 1 && given.back() == '/') given.pop_back();
    return given;
}

std::string Override(int number) {
    const char* v = std::getenv(("H8SX_COM" + std::to_string(number)).c_str());
    return v && *v ? v : "";
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::string BaseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What the kernel calls the device a path leads to ("ttyUSB0", "pts/4"), where that says
// more than the path's own last part.
std::string KernelName(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return {};
    std::string name = real;
    std::free(real);
    name = name.compare(0, 5, "/dev/") == 0 ? name.substr(5) : BaseName(name);
    return name == BaseName(path) ? std::string() : name;
}

// The adapters' persistent names, sorted so that several new ones are numbered in the
// same order on every machine.
std::vector<std::string> AdapterPaths(const std::string& devRoot) {
    const std::string dir = devRoot + "/serial/by-id";
    std::vector<std::string> paths;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') paths.push_back(dir + "/" + e->d_name);
        ::closedir(d);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::string Describe(const char* what, const std::string& path, int error) {
    return std::string(what) + " " + path + ": " + std::strerror(error);
}

// An exclusive advisory lock on a file of its own, held while the object lives. Another
// holder is waited for; a signal that interrupts the wait (a stop request) gives it up.
class FileLock {
public:
    explicit FileLock(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        // A lock file this user may only read still serves: locking needs no write access.
        if (fd_ < 0 && (errno == EACCES || errno == EROFS))
            fd_ = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
            const int error = errno;
            ::close(fd_);
            fd_ = -1;
            errno = error;
        }
        if (fd_ < 0) failure_ = Describe("cannot lock", path, errno);
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Empty while the lock is held.
    const std::string& Failure() const { return failure_; }

private:
    std::string failure_;
    int fd_ = -1;
};

// Replaces the file in one step, so that a reader never sees half of it. The text goes
// first into a file of this process's own, made new (never one that is there already, nor
// what a link of that name leads to), which is removed when anything fails. 0, or the
// error of the step that failed.
int WriteWhole(const std::string& path, const std::string& text) {
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temp = path + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".new";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        // One left by an earlier process of the same id: the next name.
        if (fd < 0 && (errno != EEXIST || attempt == 99)) return errno;
    }
    int error = 0;
    for (std::size_t done = 0; done < text.size() && error == 0;) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put > 0) done += static_cast<std::size_t>(put);
        else if (put < 0 && errno != EINTR) error = errno;
        else if (put == 0) error = EIO;
    }
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(temp.c_str());
    return error;
}

// "COM3=/dev/serial/by-id/x is not saved (why): ...".
std::string NotSaved(const std::vector<std::string>& given, const std::string& why) {
    std::string text;
    for (const std::string& g : given) text += (text.empty() ? "" : ", ") + g;
    const bool one = given.size() == 1;
    text += one ? " is not saved" : " are not saved";
    if (!why.empty()) text += " (" + why + ")";
    return text + (one ? ": the number holds for this run only" : ": the numbers hold for this run only");
}

}  // namespace

int ComNumber(const std::string& portName) {
    if (portName.size() < 4 || portName.size() > 7 || portName.compare(0, 3, "COM") != 0) return 0;
    int n = 0;
    for (std::size_t i = 3; i < portName.size(); ++i) {
        const char c = portName[i];
        if (c < '0' || c > '9') return 0;
        n = n * 10 + (c - '0');
    }
    return n;
}

PortMap::PortMap(std::string portsDirectory, std::string devRoot, std::string sysRoot)
    : portsDirectory_(std::move(portsDirectory)),
      devRoot_(RootFrom(std::move(devRoot), "H8SX_DEV_ROOT", "/dev")),
      sysRoot_(RootFrom(std::move(sysRoot), "H8SX_SYS_ROOT", "/sys")) {}

std::string PortMap::PortsFilePath() const {
    std::string dir = portsDirectory_.empty() ? PosixPlatform().SettingsDirectory() : portsDirectory_;
    if (dir.back() != '/') dir += '/';
    return dir + "ports";
}

std::string PortMap::UartPath(int number) const { return devRoot_ + "/ttyS" + std::to_string(number - 1); }

bool PortMap::UartExists(int number) const {
    const std::string name = "ttyS" + std::to_string(number - 1);
    const std::string node = sysRoot_ + "/class/tty/" + name;
    if (!Exists(sysRoot_ + "/class/tty")) {
        // No sysfs to ask (not Linux): a device node stands for a UART.
        struct stat st {};
        return ::stat(UartPath(number).c_str(), &st) == 0 && S_ISCHR(st.st_mode);
    }
    // The UART type the driver found; 0 is "unknown": a node with no hardware behind it.
    // (Asking the port itself would mean opening it, which raises DTR on whatever is there.)
    if (std::ifstream type(node + "/type"); type) {
        int code = 0;
        return (type >> code) && code != 0;
    }
    // Without the attribute, a device of its own; the 8250 driver's placeholder for ports
    // it merely reserves does not count.
    char target[PATH_MAX];
    const ssize_t n = ::readlink((node + "/device").c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    return BaseName(std::string(target, static_cast<std::size_t>(n))) != "serial8250";
}

bool PortMap::ReadAssignments(std::string& text, std::vector<Line>& lines) {
    const std::string path = PortsFilePath();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;  // no adapter numbered yet
        problem_ = Describe("cannot read", path, errno);
        return false;
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            problem_ = Describe("cannot read", path, errno);
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    std::set<int> numbers;
    std::set<std::string> devices;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        // Anything that is not "COMn=/path" is left as it is and otherwise ignored, as are
        // a second claim on a number or on a device.
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const int number = ComNumber(Trim(line.substr(0, eq)));
        const std::string device = Trim(line.substr(eq + 1));
        if (number < 1 || number > kHighestComNumber || device.empty() || device[0] != '/') continue;
        if (numbers.count(number) || devices.count(device)) continue;
        numbers.insert(number);
        devices.insert(device);
        lines.push_back({number, device});
    }
    return true;
}

std::vector<PortEntry> PortMap::Scan() {
    problem_.clear();
    const std::string path = PortsFilePath();
    // Read, numbered and written as one step among the programs that scan.
    const FileLock lock(path + ".lock");
    std::string text;
    std::vector<Line> assigned;
    const bool read = ReadAssignments(text, assigned);
    if (!read) problem_ += ": the numbers it holds are not shown";
    std::map<int, std::string> byNumber;
    std::set<std::string> known;
    for (const Line& l : assigned) {
        byNumber[l.number] = l.device;
        known.insert(l.device);
    }
    std::set<int> held, uarts;
    for (int n = 1; n <= kAssignableComPorts; ++n) {
        if (UartExists(n)) uarts.insert(n);
        if (byNumber.count(n) || !Override(n).empty() || uarts.count(n)) held.insert(n);
    }

    std::vector<std::string> unnumbered;
    std::vector<std::string> given;
    for (const std::string& adapter : AdapterPaths(devRoot_)) {
        if (known.count(adapter)) continue;
        int free = 1;
        while (free <= kAssignableComPorts && held.count(free)) ++free;
        if (free > kAssignableComPorts) {
            unnumbered.push_back(adapter);
            continue;
        }
        held.insert(free);
        byNumber[free] = adapter;
        given.push_back("COM" + std::to_string(free) + "=" + adapter);
    }
    if (!given.empty()) {
        // A file that could not be read is left as it is: it may hold numbers.
        std::string why = lock.Failure();
        if (read && why.empty()) {
            if (!text.empty() && text.back() != '\n') text += '\n';
            for (const std::string& g : given) text += g + "\n";
            if (const int error = WriteWhole(path, text); error != 0)
                why = Describe("cannot write", path, error);
        }
        if (!read || !why.empty()) problem_ += (problem_.empty() ? "" : "; ") + NotSaved(given, why);
    }

    const int last = byNumber.empty() ? kAssignableComPorts : std::max(kAssignableComPorts, byNumber.rbegin()->first);
    std::vector<PortEntry> table;
    auto add = [&table](std::string name, std::string device, bool present) {
        PortEntry e{std::move(name), std::move(device), {}, present};
        if (present) e.detail = KernelName(e.device);
        table.push_back(std::move(e));
    };
    for (int n = 1; n <= last; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (std::string v = Override(n); !v.empty()) add(name, v, Exists(v));
        else if (auto it = byNumber.find(n); it != byNumber.end()) add(name, it->second, Exists(it->second));
        else if (uarts.count(n)) add(name, UartPath(n), true);
        else if (n <= kAssignableComPorts) add(name, {}, false);
    }
    for (const std::string& adapter : unnumbered) add({}, adapter, Exists(adapter));
    return table;
}

std::string PortMap::DevicePathFor(const std::string& portName) {
    const int number = ComNumber(portName);
    if (number == 0) return portName;
    if (std::string v = Override(number); !v.empty()) return v;
    const std::string name = "COM" + std::to_string(number);
    for (const PortEntry& e : Scan())
        if (e.name == name && !e.device.empty()) return e.device;
    return UartPath(number);
}

}  // namespace h8sx::posix
