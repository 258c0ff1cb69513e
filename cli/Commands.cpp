// h8sx check, reset and ports: the commands that are a single step.
#include "cli/Commands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "boot/BootProtocol.h"
#include "cli/ImageFile.h"
#include "cli/Session.h"
#include "cli/Station.h"
#include "cli/System.h"
#include "image/FlashImage.h"
#include "image/SRecord.h"

namespace h8sx::cli {

namespace {

// The bytes one block costs on the line: the command and its acknowledgement, 10 bits a
// byte.
constexpr double kBlockLineBytes = boot::kProgramCommandLength + 1;

// Where a board's serial number lands in `image` and, with --serial-next, the bytes of the
// next number; false, with the reason shown, where it may not go. `image` then covers it.
bool SerialLine(Session& s, FlashImage& image, std::string& line) {
    const SerialStamp& stamp = *s.options.serial;
    if (const std::string why = StampPlaceProblem(stamp, image); !why.empty()) {
        s.out.Error((s.options.file == "-" ? "standard input" : s.options.file) + ": " + why);
        return false;
    }
    char text[200];
    std::snprintf(text, sizeof text, "serial:    %s at 0x%06X (%u bytes, block %u)", stamp.format.c_str(),
                  static_cast<unsigned>(stamp.address), stamp.width,
                  static_cast<unsigned>(stamp.address / boot::kBlockSize + 1));
    line = text;
    if (s.options.serialNext) {
        std::string why;
        const auto number = SerialCounter(*s.options.serialNext).Peek(why);
        if (!number) {
            s.out.Error(why);
            return false;
        }
        const auto bytes = SerialBytes(stamp, *number);
        if (!bytes) {
            s.out.Error("the next serial number, " + std::to_string(*number) + ", does not fit " + stamp.format);
            return false;
        }
        line += ", the next number " + std::to_string(*number) + " as";
        for (std::uint8_t b : *bytes) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02X", b);
            line += hex;
        }
        StampImage(image, stamp, *bytes);  // --out shows the bytes of that board
    } else {
        StampImage(image, stamp, std::vector<std::uint8_t>(stamp.width, 0xFF));  // where it lands, blank
    }
    line += "\n";
    return true;
}

}  // namespace

int Check(Session& s) {
    FlashImage image;
    ImageLoad load;
    if (const int status = ReadImageFile(s.options, s.platform, s.out, image, load); status != kDone) return status;
    std::string serial;
    if (s.options.serial && !SerialLine(s, image, serial)) return kFileFailed;

    const std::uint32_t blocks = BlockCount(image.Length);
    std::uint32_t blank = 0;
    for (std::uint32_t b = 0; b < blocks; ++b)
        blank += IsBlankBlock(std::span<const std::uint8_t, boot::kBlockSize>(
            image.Bytes.data() + std::size_t{b} * boot::kBlockSize, boot::kBlockSize));
    const double rate = s.options.bitRate;
    // The window's own text for an S-record file; the format and its records for the others.
    char records[160];
    if (load.format == ImageFormat::SRecord)
        std::snprintf(records, sizeof records, "%s\nrecords:   S%d, %u data records%s",
                      ImageStatusText(load).c_str(), load.kind, load.dataRecords,
                      load.endedByCount ? ", ended by a count record" : "");
    else if (load.format == ImageFormat::IntelHex)
        std::snprintf(records, sizeof records, "Intel HEX file read\nrecords:   Intel HEX, %u data records",
                      load.dataRecords);
    else
        std::snprintf(records, sizeof records, "binary file read\nrecords:   none, the bytes as they stand");
    char text[800];
    std::snprintf(text, sizeof text,
                  "%s\n%s"
                  "image:     %u bytes from flash address 0\n"
                  "blocks:    %u of %zu bytes (%u of them blank)\n"
                  "time:      %.1f s of programming at %.0f bit/s (%.1f s with --skip-blank)\n",
                  records, serial.c_str(), image.Length, blocks, boot::kBlockSize, blank,
                  blocks * kBlockLineBytes * 10 / rate, rate, (blocks - blank) * kBlockLineBytes * 10 / rate);
    // With the image on standard output, the summary goes to standard error.
    const bool imageToStdout = s.options.out == "-";
    WriteFailure failure;
    if (!(imageToStdout && s.options.quiet) &&
        !WriteAll(imageToStdout ? stderr : stdout, imageToStdout ? "standard error" : "standard output", text,
                  std::strlen(text), failure)) {
        s.out.Error(failure.Text());
        return failure.error == EPIPE ? kUsage : kFileFailed;
    }

    if (imageToStdout) {
        UseBinaryStdout();
        if (WriteAll(stdout, "standard output", image.Bytes.data(), std::size_t{blocks} * boot::kBlockSize, failure))
            return kDone;
        s.out.Error(failure.Text());
        return failure.error == EPIPE ? kUsage : kFileFailed;
    }
    if (s.options.out) {
        const std::string& path = *s.options.out;
        std::FILE* f = s.platform.OpenFile(path, "wb");
        if (f == nullptr) {
            s.out.Error("cannot write " + path + ": " + std::strerror(errno));
            return kFileFailed;
        }
        const std::size_t n = std::size_t{blocks} * boot::kBlockSize;
        const bool written = WriteAll(f, path.c_str(), image.Bytes.data(), n, failure);
        errno = 0;
        const bool closed = std::fclose(f) == 0;
        if (!written || !closed) {
            s.out.Error(written ? "cannot write " + path + ": " + std::strerror(errno ? errno : EIO)
                                : failure.Text());
            return kFileFailed;
        }
    }
    return kDone;
}

int Reset(Session& s) {
    if (!s.OpenPort(kOwnProgramBitRate)) return kPortNotOpened;
    s.RestartBoard();
    if (s.link.Lost()) {
        s.out.Error(s.PortGone());
        return kPortNotOpened;
    }
    s.out.Note("the board on " + s.PortShown() + " was restarted into its own program");
    return s.out.Failed() ? s.StoppedStatus() : kDone;
}

int Ports(Session& s) {
    const std::vector<PortEntry> ports = s.platform.ListPorts();
    // The device column as wide as its longest path (by-id names run long).
    int width = 6;
    for (const PortEntry& p : ports) width = std::max(width, static_cast<int>(p.device.size()));
    std::string table;
    const auto row = [&](const std::string& name, const std::string& device, const char* present,
                         const std::string& detail) {
        char text[1024];
        std::snprintf(text, sizeof text, "%-8s %-*s %-8s %s\n", name.c_str(), width, device.c_str(), present,
                      detail.c_str());
        table += text;
    };
    row("NAME", "DEVICE", "PRESENT", "DETAIL");
    for (const PortEntry& p : ports)
        row(p.name.empty() ? "-" : p.name, p.device.empty() ? "-" : p.device, p.present ? "yes" : "no",
            p.device.empty() ? "no port" : p.detail);
    WriteFailure failure;
    if (!WriteAll(stdout, "standard output", table.data(), table.size(), failure)) {
        s.out.Error(failure.Text());
        return failure.error == EPIPE ? kUsage : kFileFailed;
    }
    if (const std::string problem = s.platform.PortsProblem(); !problem.empty()) {
        s.out.Error(problem);
        return kFileFailed;
    }
    return kDone;
}

}  // namespace h8sx::cli

namespace h8sx::cli {

std::string TraceFileOf(const std::string& file, const std::string& port, bool severalPorts) {
    if (!severalPorts || port.empty()) return file;
    // The port's name as a file name: "/dev/ttyUSB0" gives "ttyUSB0", "\\.\COM12" "COM12".
    std::string name = port;
    for (const char* prefix : {"/dev/", "\\\\.\\"})
        if (name.rfind(prefix, 0) == 0) name.erase(0, std::strlen(prefix));
    while (!name.empty() && (name[0] == '/' || name[0] == '\\')) name.erase(0, 1);
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
    const std::size_t slash = file.find_last_of("/\\");
    const std::size_t dot = file.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1)
        return file + "." + name;
    return file.substr(0, dot) + "." + name + file.substr(dot);
}

int RunCommand(const std::string& command, const Options& options) {
    Output out(options.quiet, StderrIsTerminal(), stderr, StderrColumns);
    const std::unique_ptr<Platform> platform = NewPlatform();
    // Every trace file can be written, or no board is touched.
    if (options.trace) {
        const std::vector<std::string> ports = options.ports.empty() ? std::vector<std::string>{""} : options.ports;
        for (const std::string& port : ports) {
            const std::string path = TraceFileOf(*options.trace, port, ports.size() > 1);
            std::FILE* f = std::fopen(path.c_str(), "w");
            if (f == nullptr) {
                out.Error("cannot write the trace file " + path + ": " + std::strerror(errno));
                return kFileFailed;
            }
            std::fclose(f);
        }
    }
    if (command == "write") return WriteOnStation(options, *platform, out);
    if (command == "check" || command == "ports") {
        SystemSession system(options, std::nullopt, out);
        return command == "check" ? Check(system.session()) : Ports(system.session());
    }
    // The board's own program, on every port given.
    static const std::map<std::string, int (*)(Session&)> kOnBoards = {
        {"monitor", Monitor}, {"ram-write", RamWrite}, {"reset", Reset}, {"info", Info}};
    Station station(options);
    if (std::string why; !station.Ports(why)) {
        out.Error(why);
        return kUsage;
    }
    return station.Run(kOnBoards.at(command));
}

}  // namespace h8sx::cli
