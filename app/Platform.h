// The file-system bits the core needs from the operating system.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace h8sx {

// A file opened for reading, closed when it goes out of scope. (A file that was written is
// closed by hand, so that the result saying whether its bytes arrived is looked at.)
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// A serial port as the operator reaches it.
struct PortEntry {
    std::string name;     // "COM3"; empty for a port that has no COM number
    std::string device;   // what opening the port opens
    std::string detail;   // what the system calls it, where it says (a device name, a friendly name)
    bool present = false; // the device is there now
};

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
    // The ports this machine has or remembers: COM numbers in order, then ports without one.
    virtual std::vector<PortEntry> ListPorts() { return {}; }
    // What the last ListPorts() could not do, for the operator: a COM number it gave a new
    // port that could not be saved (another run may give it to another port). Empty when
    // there is nothing to say.
    virtual std::string PortsProblem() { return {}; }
};

}  // namespace h8sx
