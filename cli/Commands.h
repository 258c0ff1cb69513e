// The commands of h8sx, each a run of the core's operations with the options it was given:
// on the ports given, a session each (cli/Station.h), or, for a test, on a session of its
// own. They return the exit status.
#pragma once

#include <string>

#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/ProductionLog.h"
#include "cli/SerialNumber.h"
#include "app/Platform.h"

namespace h8sx::cli {

class Session;

// The command named, with its options, on the system's ports, console and files.
int RunCommand(const std::string& command, const Options& options);

// The trace file of the board on `port` (--trace FILE): FILE itself for one port; for
// several, the port's name put in before FILE's extension (trace.txt: trace.COM3.txt,
// trace.ttyUSB0.txt).
std::string TraceFileOf(const std::string& file, const std::string& port, bool severalPorts);

class Station;

// What every board of a station's write shares: the image as checked (never changed: a
// board's serial number goes into a copy), its fingerprint, the log, the serial numbers.
struct WriteJob {
    const FlashImage& image;
    std::string file;  // as messages name it
    std::string sha256;
    std::optional<ProductionLog> log;
    std::optional<SerialCounter> counter;
    Station* station = nullptr;
};

// One board's write on its session: its serial number, the write, its row in the log.
int WriteBoard(Session& s, const WriteJob& job);
// write on every port given, FILE read once.
int WriteOnStation(const Options& o, Platform& platform, Output& out);

// How a talk with the boot program ended, named for the engineer; its exit status.
int WriteFailed(Session& s, const WriteResult& r);

// One board's command on a session.
int Write(Session& s);
int Info(Session& s);
int Check(Session& s);
int Monitor(Session& s);
int RamWrite(Session& s);
int Reset(Session& s);
int Ports(Session& s);

}  // namespace h8sx::cli
