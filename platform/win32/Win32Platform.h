// Executable directory, immediate exit and file opening on Windows.
#pragma once

#include "app/Platform.h"

namespace h8sx::win32 {

class Win32Platform : public Platform {
public:
    std::string ExecutableDirectory() override;
    void ExitNow() override;
    std::FILE* OpenFile(const std::string& utf8Path, const char* mode) override;
    std::vector<PortEntry> ListPorts() override;
};

}  // namespace h8sx::win32
