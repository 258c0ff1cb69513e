#include "platform/posix/PortMap.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
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

// Replaces the file in one step, so that a reader never sees half of it.
bool WriteWhole(const std::string& path, const std::string& text) {
    const std::string temp = path + ".new" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put <= 0) break;
        done += static_cast<std::size_t>(put);
    }
    const bool written = done == text.size() && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
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

std::vector<PortMap::Line> PortMap::ReadAssignments(std::string& text) const {
    std::ifstream in(PortsFilePath(), std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), {});
    std::vector<Line> lines;
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
    return lines;
}

std::vector<PortEntry> PortMap::Scan() {
    std::string text;
    std::vector<Line> assigned = ReadAssignments(text);
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
    std::string added;
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
        added += "COM" + std::to_string(free) + "=" + adapter + "\n";
    }
    if (!added.empty()) {
        if (!text.empty() && text.back() != '\n') text += '\n';
        WriteWhole(PortsFilePath(), text + added);
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
