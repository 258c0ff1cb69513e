// Which device each COM number stands for on POSIX. A USB serial adapter is known by its
// persistent name under <dev>/serial/by-id/, which survives re-plugging and reboots; the
// first time one is seen it gets the lowest number from 1 to 6 that nothing holds, and keeps
// it in the `ports` file beside the settings (one "COMn=<by-id path>" line each). Built-in
// UARTs that really exist hold COMn = ttyS<n-1>; $H8SX_COMn overrides everything.
// Programs that scan at the same time (two benches, the window and h8sx) take turns: the
// file is read, new adapters numbered and the file replaced under a lock on `ports.lock`
// beside it, so that none overwrites a number another has just given out.
#pragma once

#include <string>
#include <vector>

#include "app/Platform.h"

namespace h8sx::posix {

// The numbers that new adapters are given; an adapter past them has none.
inline constexpr int kAssignableComPorts = 6;

class PortMap {
public:
    // `portsDirectory` holds the `ports` file (with its trailing separator); empty: the
    // settings directory of the program. `devRoot` and `sysRoot` stand for /dev and /sys;
    // empty: $H8SX_DEV_ROOT and $H8SX_SYS_ROOT where set, else the real ones.
    explicit PortMap(std::string portsDirectory = {}, std::string devRoot = {}, std::string sysRoot = {});

    // Looks at the adapters plugged in now, gives new ones their numbers (the `ports` file
    // is rewritten when that changes it), and returns the whole table: every COM number
    // something holds or once held, in order (1 to 6 always), then adapters without one.
    // Waits while another program holds the lock.
    std::vector<PortEntry> Scan();
    // What the last Scan() could not do, for the operator: the file it could not read, and
    // numbers it gave out that could not be saved (they hold for that scan's run only, and
    // another run may give them to other adapters). Empty when everything went well.
    const std::string& Problem() const { return problem_; }

    // The device to open for a port name ("COM3"): $H8SX_COMn, else the adapter holding n
    // (plugged in or not), else <dev>/ttyS<n-1>. Other names are device paths already.
    std::string DevicePathFor(const std::string& portName);

    std::string PortsFilePath() const;

private:
    struct Line {
        int number = 0;
        std::string device;
    };
    // The file's lines; false (and `problem_` says why) when it exists but cannot be read.
    bool ReadAssignments(std::string& text, std::vector<Line>& lines);
    bool UartExists(int number) const;
    std::string UartPath(int number) const;

    std::string portsDirectory_;
    std::string devRoot_;
    std::string sysRoot_;
    std::string problem_;
};

// "COM3" -> 3; 0 for a name that is no COM number.
int ComNumber(const std::string& portName);

}  // namespace h8sx::posix
