// Executable directory, immediate exit and file opening on POSIX.
#pragma once

#include <string>

#include "app/Platform.h"

namespace h8sx::posix {

// Where the settings go when the executable's directory cannot be written: the user's
// configuration directory ($XDG_CONFIG_HOME, else ~/.config) with the program's folder.
std::string ConfigDirectoryFor(const char* xdgConfigHome, const std::string& home);
// A directory that programs are installed into (/usr/bin, /usr/local/bin, /bin...): the
// settings never go there, even for a user who may write to it (root).
bool IsInstalledProgramsDirectory(const std::string& dir);

class PosixPlatform : public Platform {
public:
    std::string ExecutableDirectory() override;
    void ExitNow() override;
    std::FILE* OpenFile(const std::string& utf8Path, const char* mode) override;
    // Beside the executable whenever the settings file is there (an administrator may have
    // put it into a directory no user can write: it is read there, and written there too,
    // which fails where the file is read-only), else when that directory can be written;
    // otherwise the configuration directory. Decided once a run; the program itself never
    // changes the outcome, so the file never moves between runs.
    std::string SettingsDirectory() override;
    std::vector<PortEntry> ListPorts() override;
    std::string PortsProblem() override { return portsProblem_; }

private:
    std::string settingsDirectory_;
    std::string portsProblem_;
};

}  // namespace h8sx::posix
