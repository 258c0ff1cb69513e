#include "cli/ImageFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli/System.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace h8sx::cli {

namespace {

// What the window does with a file that h8sx refuses, for the message's parentheses.
std::string WindowsOutcome(const ImageLoad& load) {
    if (load.strictFault == StrictFault::None) return ImageStatusText(load);
    if (load.fault != ImageFault::None) return "the window stops later: " + ImageStatusText(load);
    switch (load.strictFault) {
        case StrictFault::Checksum:
            return "the window loads it as it reads; --ignore-checksums does too";
        case StrictFault::FirstAddress:
            return "the window writes it from flash address 0 all the same; --lenient does too";
        default:
            return "the window loads it; --lenient reads as it does";
    }
}

// Each reason `load` refuses its file for, by its line, with what the window does instead.
void Refuse(const std::string& name, const ImageLoad& load, const std::string& window, Output& out) {
    const std::string at = name + ":";
    if (load.strictFault == StrictFault::Checksum) {
        for (std::uint32_t line : load.badChecksumLines)
            out.Error(at + std::to_string(line) + ": wrong checksum (" + window + ")");
        return;
    }
    out.Error(at + std::to_string(load.RefusedLine()) + ": " + load.Refusal() + " (" + window + ")");
}

// A path, a directory or a device: only a file, or a pipe, holds an S-record text.
bool IsReadable(const std::string& file, const std::string& name, Output& out) {
    std::error_code ec;
    const auto status = std::filesystem::status(reinterpret_cast<const char8_t*>(file.c_str()), ec);
    if (ec) return true;  // the opening names the reason
    if (std::filesystem::is_directory(status)) {
        out.Error("cannot read " + name + ": it is a directory");
        return false;
    }
    if (!std::filesystem::is_regular_file(status) && !std::filesystem::is_fifo(status)) {
        out.Error("cannot read " + name + ": it is not a regular file");
        return false;
    }
    return true;
}

}  // namespace

std::optional<InputFile> OpenInput(const std::string& file, Platform& platform, Output& out) {
    InputFile in{file == "-" ? "standard input" : file, nullptr, stdin};
    if (file == "-") {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);  // the readers take line ends and Ctrl-Z themselves
#endif
        return in;
    }
    if (!IsReadable(file, in.name, out)) return std::nullopt;
    in.owned.reset(platform.OpenFile(file, "rb"));
    if (!in.owned) {
        out.Error("cannot read " + in.name + ": " + std::strerror(errno));
        return std::nullopt;
    }
    in.stream = in.owned.get();
    return in;
}

bool ReadFailed(const InputFile& in, Output& out) {
    if (!std::ferror(in.stream)) return false;
    out.Error("cannot read " + in.name + ": " + std::strerror(errno));
    return true;
}

int ReadImageFile(const Options& o, Platform& platform, Output& out, FlashImage& image, ImageLoad& load) {
    const std::optional<InputFile> in = OpenInput(o.file, platform, out);
    if (!in) return kFileFailed;
    const std::string& name = in->name;
    FileSource source(in->stream);
    load =
        ReadSRecords(source, image, {}, ReadOptions{.strict = !o.lenient, .checksums = !o.ignoreChecksums});
    if (StopRequested()) return kInterrupted;
    if (ReadFailed(*in, out)) return kFileFailed;

    const std::string at = name + ":";
    if (!load.Loaded()) {
        Refuse(name, load, WindowsOutcome(load), out);
        return kFileFailed;
    }
    // What the windows' reading lets pass, said once more where h8sx was told to let it pass.
    for (std::uint32_t line : load.badChecksumLines)
        out.Error(at + std::to_string(line) + ": warning: wrong checksum; the record is loaded as it reads");
    if (load.firstAddress != 0) {
        char text[160];
        std::snprintf(
            text, sizeof text,
            ": warning: the first record lies at address 0x%04X; its data is written from flash address 0",
            static_cast<unsigned>(load.firstAddress));
        out.Error(name + text);
    }
    return kDone;
}

}  // namespace h8sx::cli

namespace h8sx::cli {

int ReadRamFile(const Options& o, Platform& platform, Output& out, std::string& text) {
    const std::optional<InputFile> in = OpenInput(o.file, platform, out);
    if (!in) return kFileFailed;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in->stream)) > 0;) text.append(buffer, n);
    if (StopRequested()) return kInterrupted;
    if (ReadFailed(*in, out)) return kFileFailed;
    if (o.lenient) return kDone;

    MemorySource source(text);
    FlashImage scratch;
    const ImageLoad load = ReadSRecords(source, scratch, {}, ReadOptions{.strict = true, .place = false});
    const std::string window = "the window sends it as it is; --lenient does too";
    if (!load.Loaded()) {
        Refuse(in->name, load, window, out);
        return kFileFailed;
    }
    if (load.kind != 3 || load.endedByCount) {
        out.Error(in->name + ": the file ends with " +
                  (load.endedByCount ? "a count record" : "S" + std::to_string(10 - load.kind)) +
                  ", and the board's program takes a load at its S7 record, which it lacks (" + window + ")");
        return kFileFailed;
    }
    return kDone;
}

}  // namespace h8sx::cli
