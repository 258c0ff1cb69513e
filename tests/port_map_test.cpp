// COM numbers on POSIX: USB adapters found under a /dev of the test's own (links to
// pseudo-terminals), UARTs under a /sys of its own, the `ports` file in a third directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>

#include "app/TForm1.h"
#include "platform/posix/PortMap.h"
#include "tests/support/Rig.h"

namespace h8sx::test {
namespace {

namespace fs = std::filesystem;
using posix::PortMap;

// A pseudo-terminal standing for an adapter's tty.
class Pty {
public:
    Pty() : fd_(::posix_openpt(O_RDWR | O_NOCTTY)) {
        ::grantpt(fd_);
        ::unlockpt(fd_);
        path_ = ::ptsname(fd_);
    }
    ~Pty() { ::close(fd_); }
    const std::string& path() const { return path_; }
    std::string KernelName() const { return path_.substr(5); }  // "pts/7"

private:
    int fd_;
    std::string path_;
};

struct Machine {
    Machine() {
        fs::create_directories(ByIdDir());
        fs::create_directories(sys.path() / "class/tty");
        for (int n = 1; n <= 6; ++n) ::unsetenv(("H8SX_COM" + std::to_string(n)).c_str());
    }
    fs::path ByIdDir() const { return dev.path() / "serial/by-id"; }
    std::string Plug(const std::string& id, const Pty& tty) const {
        const fs::path link = ByIdDir() / id;
        fs::create_symlink(tty.path(), link);
        return link.string();
    }
    void Unplug(const std::string& link) const { fs::remove(link); }
    // A UART as sysfs shows it: the type its driver found (0: nothing there).
    void Uart(int index, int type) const {
        const fs::path node = sys.path() / "class/tty" / ("ttyS" + std::to_string(index));
        fs::create_directories(node);
        std::ofstream(node / "type") << type << "\n";
    }
    PortMap Map() const { return PortMap(home.path().string() + "/", dev.path().string(), sys.path().string()); }
    std::string PortsFile() const {
        std::ifstream f(home.path() / "ports");
        return {std::istreambuf_iterator<char>(f), {}};
    }
    std::vector<std::string> ToolTips() const {
        const std::vector<PortEntry> table = Map().Scan();
        std::vector<std::string> tips;
        for (const PortEntry& p : table) tips.push_back(p.name.empty() ? "(" + p.device + ")" : PortToolTip(p));
        return tips;
    }
    TempDir dev, sys, home;
};

TEST(PortMap, AnAdapterKeepsTheLowestFreeNumberAcrossRestartsAndUnplugging) {
    Machine m;
    m.Uart(0, 4);  // a 16550A: COM1 is held
    m.Uart(1, 0);  // a node with no hardware: COM2 is free
    // The 8250 driver's placeholder for a port it merely reserves does not hold COM3.
    fs::create_directories(m.sys.path() / "class/tty/ttyS2");
    fs::create_symlink("../../devices/platform/serial8250", m.sys.path() / "class/tty/ttyS2/device");
    ::setenv("H8SX_COM2", "/tmp/elsewhere", 1);  // the operator's own choice holds COM2

    Pty a, b;
    const std::string first = m.Plug("usb-FTDI_FT232R_A1-if00-port0", a);
    const std::string dev = m.dev.path().string();
    EXPECT_EQ(m.ToolTips(), (std::vector<std::string>{
                                "COM1: " + dev + "/ttyS0", "COM2: /tmp/elsewhere (not present)",
                                "COM3: " + first + " (" + a.KernelName() + ")", "COM4: no port", "COM5: no port",
                                "COM6: no port"}));
    EXPECT_EQ(m.PortsFile(), "COM3=" + first + "\n");
    EXPECT_EQ(m.Map().DevicePathFor("COM2"), "/tmp/elsewhere");
    EXPECT_EQ(m.Map().DevicePathFor("COM3"), first);
    EXPECT_EQ(m.Map().DevicePathFor("COM4"), dev + "/ttyS3");
    EXPECT_EQ(m.Map().DevicePathFor(first), first);

    // Unplugged, and the program started again: the number stays with the adapter, and a
    // second adapter, opened by its number straight away, takes the next free one.
    ::unsetenv("H8SX_COM2");
    m.Unplug(first);
    const std::string second = m.Plug("usb-Prolific_PL2303-if00-port0", b);
    EXPECT_EQ(m.Map().DevicePathFor("COM2"), second);
    EXPECT_EQ(m.Map().DevicePathFor("COM3"), first);
    EXPECT_EQ(m.PortsFile(), "COM3=" + first + "\nCOM2=" + second + "\n");
    EXPECT_EQ(PortToolTip(m.Map().Scan()[2]), "COM3: " + first + " (not present)");

    // Plugged in again: the same number, and the file is not written when nothing changes.
    m.Plug("usb-FTDI_FT232R_A1-if00-port0", a);
    const auto before = fs::last_write_time(m.home.path() / "ports") - std::chrono::hours(1);
    fs::last_write_time(m.home.path() / "ports", before);
    EXPECT_EQ(PortToolTip(m.Map().Scan()[2]), "COM3: " + first + " (" + a.KernelName() + ")");
    EXPECT_EQ(fs::last_write_time(m.home.path() / "ports"), before);
}

TEST(PortMap, AdaptersPastCom6GetNoNumberButAreListed) {
    Machine m;
    Pty tty;
    for (char c = 'a'; c <= 'g'; ++c) m.Plug(std::string("usb-adapter-") + c, tty);
    const std::vector<PortEntry> table = m.Map().Scan();
    ASSERT_EQ(table.size(), 7u);
    for (int n = 0; n < 6; ++n) {
        EXPECT_EQ(table[n].name, "COM" + std::to_string(n + 1));
        EXPECT_EQ(table[n].device, (m.ByIdDir() / std::string("usb-adapter-").append(1, char('a' + n))).string());
    }
    EXPECT_EQ(table[6].name, "");
    EXPECT_EQ(table[6].device, (m.ByIdDir() / "usb-adapter-g").string());
    EXPECT_TRUE(table[6].present);
    EXPECT_EQ(table[6].detail, tty.KernelName());
}

TEST(PortMap, ADamagedPortsFileLosesOnlyItsBadLines) {
    Machine m;
    Pty tty;
    const std::string kept = "/dev/serial/by-id/usb-kept";
    const std::string text = "# written by hand\n"
                             "COM2 = " + kept + "\r\n"
                             "COM1=relative/path\n"
                             "COM0=/dev/x\n"
                             "garbage without an equals sign\n"
                             "COM2=/dev/serial/by-id/second-claim\n"
                             "COM12=/dev/serial/by-id/far\n"
                             "\xff\xfe=\n"
                             "COM3";  // cut short, no line end
    m.home.Write("ports", text);
    const std::string plugged = m.Plug("usb-new", tty);

    const std::vector<PortEntry> table = m.Map().Scan();
    // The new adapter gets COM1; the good lines hold COM2 and COM12; nothing else counts.
    ASSERT_EQ(table.size(), 7u);
    EXPECT_EQ(table[0].device, plugged);
    EXPECT_EQ(table[1].device, kept);
    EXPECT_FALSE(table[1].present);
    EXPECT_EQ(table[2].device, "");
    EXPECT_EQ(table[6].name, "COM12");
    // The file keeps every line as it was written and gains the new one.
    EXPECT_EQ(m.PortsFile(), text + "\nCOM1=" + plugged + "\n");
}

// Whether some process waits, in the kernel's list of locks, for a lock on `path`.
bool SomeoneWaitsToLock(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
        if (f.size() > 5 && f[1] == "->" && f[6] == id) return true;
    }
    return false;
}

TEST(PortMap, AScanWaitsWhileAnotherProgramHoldsTheLock) {
    if (!std::ifstream("/proc/locks")) GTEST_SKIP() << "no /proc/locks to see the wait in";
    Machine m;
    Pty tty;
    const std::string mine = m.Plug("usb-mine", tty);
    // The other program numbers an adapter that this one does not see.
    const std::string theirs = "COM1=" + (m.ByIdDir() / "usb-theirs").string() + "\n";
    const fs::path lockFile = m.home.path() / "ports.lock";
    const std::string portsFile = (m.home.path() / "ports").string();
    int locked[2], release[2];
    ASSERT_EQ(::pipe(locked), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t other = ::fork();
    if (other == 0) {
        char c;
        const int lock = ::open(lockFile.c_str(), O_RDWR | O_CREAT, 0644);
        if (lock < 0 || ::flock(lock, LOCK_EX) != 0 || ::write(locked[1], "L", 1) != 1 ||
            ::read(release[0], &c, 1) != 1)
            ::_exit(1);
        const int file = ::open(portsFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::_exit(file >= 0 && ::write(file, theirs.data(), theirs.size()) == ssize_t(theirs.size()) ? 0 : 2);
    }
    ::close(locked[1]);
    ::close(release[0]);
    char c;
    ASSERT_EQ(::read(locked[0], &c, 1), 1);

    std::atomic<bool> done{false};
    std::vector<PortEntry> table;
    std::thread scan([&] {
        table = m.Map().Scan();
        done = true;
    });
    // Not a measure of time: a scan that never comes to wait is a failure, not a hang.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done && !SomeoneWaitsToLock(lockFile) && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::yield();
    EXPECT_FALSE(done) << "the scan went on while another program held the lock";
    EXPECT_TRUE(done || SomeoneWaitsToLock(lockFile)) << "the scan never came to wait for the lock";
    EXPECT_EQ(::write(release[1], "R", 1), 1);
    scan.join();
    int status = 0;
    ::waitpid(other, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(locked[0]);
    ::close(release[1]);
    // The other's number is kept, and this adapter takes the next one.
    EXPECT_EQ(m.PortsFile(), theirs + "COM2=" + mine + "\n");
    ASSERT_GE(table.size(), 2u);
    EXPECT_EQ(table[1].device, mine);
}

TEST(PortMap, ANumberThatCannotBeSavedIsSaidSoAndTheFileIsLeftAsItWas) {
    const struct {
        const char* what;
        void (*spoil)(const fs::path& home);
        bool tinyFiles;  // no file may grow past a few bytes: writing fails
        std::string reason;
    } cases[] = {
        {"the write fails", nullptr, true, "cannot write {}/ports: " + std::string(std::strerror(EFBIG))},
        {"no lock to be had", [](const fs::path& home) { fs::create_directory(home / "ports.lock"); }, false,
         "(cannot lock {}/ports.lock: " + std::string(std::strerror(EISDIR)) + ")"},
        // A file that cannot be read may hold numbers: it is not replaced (a link to a
        // directory, which a rename would replace).
        {"the file cannot be read",
         [](const fs::path& home) {
             fs::create_directory(home / "elsewhere");
             fs::create_directory_symlink(home / "elsewhere", home / "ports");
         },
         false, "cannot read {}/ports: " + std::string(std::strerror(EISDIR))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Machine m;
        Pty tty;
        const std::string adapter = m.Plug("usb-new", tty);
        if (c.spoil) c.spoil(m.home.path());
        const auto names = [&m] {
            std::set<std::string> n;
            for (const auto& e : fs::directory_iterator(m.home.path()))
                n.insert(e.path().filename().string());
            return n;
        };
        std::set<std::string> expected = names();
        expected.insert("ports.lock");

        PortMap map = m.Map();
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit tiny{8, limit.rlim_max};
        const auto xfsz = ::signal(SIGXFSZ, SIG_IGN);
        if (c.tinyFiles) ::setrlimit(RLIMIT_FSIZE, &tiny);
        const std::vector<PortEntry> table = map.Scan();
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, xfsz);

        // This run still opens the adapter by its number, and the operator is told.
        ASSERT_FALSE(table.empty());
        EXPECT_EQ(table[0].device, adapter);
        std::string reason = c.reason;
        reason.replace(reason.find("{}"), 2, m.home.path().string());
        EXPECT_NE(map.Problem().find(reason), std::string::npos) << map.Problem();
        const std::string notSaved = "COM1=" + adapter + " is not saved";
        EXPECT_NE(map.Problem().find(notSaved), std::string::npos) << map.Problem();
        // No file but the lock is new: no temporary one left, no ports file written.
        EXPECT_EQ(names(), expected);
        if (c.spoil) {
            EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(m.home.path() / "ports")));
        }
    }
}

TEST(PortToolTip, TheSystemsNameStandsForADeviceThatIsOnlyTheNumber) {
    EXPECT_EQ(PortToolTip({"COM3", "\\\\.\\COM3", "USB Serial Port (COM3)", true}), "COM3: USB Serial Port (COM3)");
    EXPECT_EQ(PortToolTip({"COM1", "\\\\.\\COM1", "\\Device\\Serial0", true}), "COM1: \\Device\\Serial0");
    EXPECT_EQ(PortToolTip({"COM2", "", "", false}), "COM2: no port");
}

}  // namespace
}  // namespace h8sx::test
