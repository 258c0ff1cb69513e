#include "cli/ProductionLog.h"

#include <cstdio>
#include <ctime>
#include <iterator>

#include "cli/System.h"

namespace h8sx::cli {

namespace {

std::string Field(std::string text) {
    // One row, one line: a message's own lines are joined.
    for (std::size_t at; (at = text.find("\n  ")) != std::string::npos;) text.replace(at, 3, "; ");
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    if (text.find_first_of(",\"") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string Hex32(const std::optional<std::uint32_t>& value) {
    if (!value) return {};
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(*value));
    return text;
}

}  // namespace

std::string LogHeader() {
    return "time,host,port,device,adapter,file,image_sha256,serial,bit_rate,verify,blocks,seconds,erased_sum,"
           "final_sum,outcome,status,message\n";
}

std::string LogLine(const LogRow& r) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", r.seconds);
    const std::string fields[] = {r.time,
                                  r.host,
                                  r.port,
                                  r.device,
                                  r.adapter,
                                  r.file,
                                  r.imageSha256,
                                  r.serial ? std::to_string(*r.serial) : std::string(),
                                  std::to_string(r.bitRate),
                                  r.verify,
                                  std::to_string(r.blocks),
                                  seconds,
                                  Hex32(r.erasedSum),
                                  Hex32(r.finalSum),
                                  r.outcome,
                                  std::to_string(r.status),
                                  r.message};
    std::string line = Field(fields[0]);
    for (std::size_t i = 1; i < std::size(fields); ++i) line += "," + Field(fields[i]);
    return line + "\n";
}

std::string LogTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    LocalTime(now, local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string t = text;
    // +0100 as the standard's extended form writes it: +01:00.
    if (t.size() >= 5) t.insert(t.size() - 2, ":");
    return t;
}

std::string ProductionLog::Append(const LogRow& row) const { return AppendLocked(path_, LogHeader(), LogLine(row)); }

}  // namespace h8sx::cli
