// What h8sx was told: the options of a command and the exit statuses it ends with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "boot/FlashWrite.h"
#include "cli/SerialNumber.h"
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
    bool json = false;                  // info --json
    std::optional<std::string> trace;   // --trace FILE: every byte on the line
    unsigned retries = 3;               // write --retries
    // Stations (write): the production log, each board's serial number, and board after
    // board: after a key (Enter) for every round, or each port on its own as boards come.
    std::optional<std::string> log;
    std::optional<SerialStamp> serial;
    std::optional<std::string> serialNext;
    enum class Repeat : std::uint8_t { Off, Key, Auto };
    Repeat repeat = Repeat::Off;
};

}  // namespace h8sx::cli
