// The commands of h8sx, each a run of the core's operations with the options it was given,
// on a Session (cli/Session.h). They return the exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "boot/FlashWrite.h"
#include "image/ImageLoad.h"

namespace h8sx::cli {

// Exit statuses.
enum Status : int {
    kDone = 0,
    kUsage = 1,  // also: standard output or error closed under the command (a pipe's reader gone)
    kPortNotOpened = 2,  // also: the port went away before the flash was touched
    kNoBoard = 3,
    kBootFailed = 4,
    kFileFailed = 5,  // also: an output file or stream that could not be written
    kTransferFailed = 6,  // also: the port went away once the flash was being changed
    kNotSeen = 7,
    kVerifyFailed = 8,
    kInterrupted = 130,
};

struct Options {
    std::string file;
    std::vector<std::string> ports;  // --port, as given; none: the window's settings
    bool quiet = false;
    bool skipBlank = false;
    Verify verify = Verify::Sum;                    // write: --verify, --no-verify
    std::uint32_t bitRate = kProgrammingBitRate;    // write, check: --bit-rate
    bool ignoreChecksums = false;
    bool lenient = false;               // write, check: read FILE as the window does
    std::optional<ImageFormat> format;  // write, check: --format; else FILE's content says
    std::optional<std::string> out;     // check --out
    bool noReset = false;               // monitor
    std::optional<double> timeout;      // monitor, seconds
    std::optional<std::string> expect;  // monitor
    bool monitor = false;               // ram-write --monitor
};

class Session;

int Write(Session& s);
int Check(Session& s);
int Monitor(Session& s);
int RamWrite(Session& s);
int Reset(Session& s);
int Ports(Session& s);

}  // namespace h8sx::cli
