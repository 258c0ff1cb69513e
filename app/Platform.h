// The file-system bits the core needs from the operating system.
#pragma once

#include <cstdio>
#include <string>

namespace h8sx {

class Platform {
public:
    virtual ~Platform() = default;

    // Directory of the running executable, with its trailing separator.
    virtual std::string ExecutableDirectory() = 0;
    // Ends the process at once with exit status 0: no windows closed, no exit handlers.
    // A test platform may unwind instead; the caller does nothing after this call.
    virtual void ExitNow() = 0;
    // Opens a file named by a UTF-8 path, as fopen does with `mode`.
    virtual std::FILE* OpenFile(const std::string& utf8Path, const char* mode) = 0;
    // Directory that holds the settings file, with its trailing separator: the
    // executable's own unless the platform keeps it elsewhere.
    virtual std::string SettingsDirectory() { return ExecutableDirectory(); }
};

}  // namespace h8sx
