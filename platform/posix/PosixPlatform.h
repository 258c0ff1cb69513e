// Executable directory, immediate exit and file opening on POSIX.
#pragma once

#include "app/Platform.h"

namespace h8sx::posix {

class PosixPlatform : public Platform {
public:
    std::string ExecutableDirectory() override;
    void ExitNow() override;
    std::FILE* OpenFile(const std::string& utf8Path, const char* mode) override;
    std::string SettingsDirectory() override;
};

}  // namespace h8sx::posix
