// Executable directory, immediate exit and file opening on POSIX.
#pragma once

#include <string>

#include "app/Platform.h"

namespace h8sx::posix {

// Where the settings go when the executable's directory cannot be written: the user's
// configuration directory ($XDG_CONFIG_HOME, else ~/.config) with the program's folder.
std::string ConfigDirectoryFor(const char* xdgConfigHome, const std::string& home);

class PosixPlatform : public Platform {
public:
    std::string ExecutableDirectory() override;
    void ExitNow() override;
    std::FILE* OpenFile(const std::string& utf8Path, const char* mode) override;
    std::string SettingsDirectory() override;
    std::vector<PortEntry> ListPorts() override;
};

}  // namespace h8sx::posix
