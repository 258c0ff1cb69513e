#include "platform/posix/PosixPlatform.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "app/Settings.h"
#include "platform/posix/PortMap.h"

namespace h8sx::posix {

namespace {

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    return dir;
}

// Creates `dir` and the directories above it that are missing (mode 0700, as a user's
// configuration is private). True when it exists afterwards.
bool MakeDirectories(const std::string& dir) {
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

}  // namespace

std::string PosixPlatform::ExecutableDirectory() {
    std::vector<char> buf(4096);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return "./";
        if (static_cast<std::size_t>(n) < buf.size()) {
            const std::string path(buf.data(), static_cast<std::size_t>(n));
            const std::size_t slash = path.rfind('/');
            return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
        }
        buf.resize(buf.size() * 2);
    }
}

void PosixPlatform::ExitNow() { ::_exit(0); }

std::FILE* PosixPlatform::OpenFile(const std::string& utf8Path, const char* mode) {
    return std::fopen(utf8Path.c_str(), mode);
}

std::string ConfigDirectoryFor(const char* xdgConfigHome, const std::string& home) {
    // XDG asks to ignore a relative path in the variable.
    const std::string base =
        xdgConfigHome && xdgConfigHome[0] == '/' ? std::string(xdgConfigHome) : WithSlash(home) + ".config";
    return WithSlash(base) + "h8sx-writer/";
}

bool IsInstalledProgramsDirectory(const std::string& dir) {
    for (const char* system : {"/usr/", "/bin/", "/sbin/"})
        if (dir.compare(0, std::char_traits<char>::length(system), system) == 0) return true;
    return false;
}

std::string PosixPlatform::SettingsDirectory() {
    // Decided once a run, so that reading and every later write meet the same file.
    if (!settingsDirectory_.empty()) return settingsDirectory_;
    const std::string exeDir = ExecutableDirectory();
    const bool fileThere = ::access((exeDir + kSettingsFileName).c_str(), F_OK) == 0;
    if (fileThere || (!IsInstalledProgramsDirectory(exeDir) && ::access(exeDir.c_str(), W_OK) == 0)) {
        settingsDirectory_ = exeDir;
    } else {
        // An installed program's directory is not the user's to write (root may, but a
        // settings file does not belong among the system's programs): the settings go to
        // the user's configuration directory.
        settingsDirectory_ = ConfigDirectoryFor(std::getenv("XDG_CONFIG_HOME"), HomeDirectory());
        MakeDirectories(settingsDirectory_.substr(0, settingsDirectory_.size() - 1));
    }
    return settingsDirectory_;
}

std::vector<PortEntry> PosixPlatform::ListPorts() {
    PortMap map(SettingsDirectory());
    std::vector<PortEntry> ports = map.Scan();
    portsProblem_ = map.Problem();
    return ports;
}

}  // namespace h8sx::posix
