// The production log: one CSV row per board attempt, appended whole under a lock so that
// several stations on one machine can share one file, and on the disk before the next
// board starts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace h8sx::cli {

struct LogRow {
    std::string time;  // ISO 8601 with the zone
    std::string host;
    std::string port;     // as given
    std::string device;   // the path opened
    std::string adapter;  // the USB adapter's name where the system knows it
    std::string file;
    std::string imageSha256;  // of the image as checked, before any serial number
    std::optional<std::uint64_t> serial;
    std::uint32_t bitRate = 0;
    std::string verify;  // none, sum, read
    std::uint32_t blocks = 0;
    double seconds = 0;
    std::optional<std::uint32_t> erasedSum;
    std::optional<std::uint32_t> finalSum;
    std::string outcome;  // done, or the failure as one word
    int status = 0;       // the exit status this board alone would give
    std::string message;
};

// The header row, in the columns' order, and a row as CSV (RFC 4180: a field with a
// comma, a quote or a line end in quotes, quotes doubled), each ending in LF.
std::string LogHeader();
std::string LogLine(const LogRow& row);

// The time now as the log writes it: 2026-12-10T06:12:33+0100 becomes 2026-12-10T06:12:33+01:00.
std::string LogTimeNow();

class ProductionLog {
public:
    explicit ProductionLog(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }
    // Appends the row; the system's reason when it could not, else empty.
    std::string Append(const LogRow& row) const;

private:
    std::string path_;
};

}  // namespace h8sx::cli
