#include "cli/ImageFile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "cli/System.h"
#include "image/ImageFormat.h"

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

// Each reason `load` refuses its file for, by its line, and `aside` behind it.
void Refuse(const std::string& name, const ImageLoad& load, const std::string& aside, Output& out) {
    const std::string at = name + ":";
    if (load.strictFault == StrictFault::Checksum) {
        for (std::uint32_t line : load.badChecksumLines)
            out.Error(at + std::to_string(line) + ": wrong checksum" + aside);
        return;
    }
    const std::uint32_t line = load.RefusedLine();  // none for a binary file
    out.Error((line != 0 ? at + std::to_string(line) + ": " : at + " ") + load.Refusal() + aside);
}

// What follows a refusal in parentheses: for an S-record file what the window does with it,
// for an Intel HEX one the switch that lets a wrong checksum pass.
std::string Aside(const ImageLoad& load) {
    if (load.format == ImageFormat::SRecord) return " (" + WindowsOutcome(load) + ")";
    if (load.strictFault == StrictFault::Checksum) return " (--ignore-checksums loads it as it reads)";
    return "";
}

// FILE's extension from its last dot on, in lower case; "" for none.
std::string Extension(const std::string& file) {
    const std::size_t dot = file.rfind('.'), slash = file.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string extension = file.substr(dot);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

// The format FILE is read in: --format's, else the one its first bytes say, else binary for
// a name ending in .bin; nothing, with the reason shown, for a file h8sx does not write. An
// ELF file is refused whatever --format says: its bytes are not the flash's.
std::optional<ImageFormat> ChooseFormat(const Options& o, const std::string& name, FileContent content,
                                        Output& out) {
    if (content == FileContent::Elf) {
        const std::string convert =
            o.file == "-"
                ? "FILE OUT.mot"
                : o.file + " " + o.file.substr(0, o.file.size() - Extension(o.file).size()) + ".mot";
        out.Error(name +
                  ": an ELF file (a linker's output) is not written as it stands: make an S-record "
                  "file of it with 'objcopy -O srec " +
                  convert + "' and write that");
        return std::nullopt;
    }
    if (o.format) return o.format;
    switch (content) {
        case FileContent::SRecords:
            return ImageFormat::SRecord;
        case FileContent::IntelHex:
            return ImageFormat::IntelHex;
        case FileContent::MarkedText:
            out.Error(name +
                      ":1: a UTF-8 byte-order mark before the first record, which neither S-records nor "
                      "Intel HEX hold: save the file without it");
            return std::nullopt;
        default:
            break;
    }
    if (Extension(o.file) == ".bin") return ImageFormat::Binary;
    out.Error(name +
              (content == FileContent::Nothing
                   ? ": the file holds no record"
                   : ": neither S-records (a first record 'S...') nor Intel HEX (':...')") +
              "; a binary image is read from a file named *.bin, or with --format binary");
    return std::nullopt;
}

// A path, a directory or a device: only a file, or a pipe, holds an image or an S-record text.
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
    FileSource file(in->stream);
    PeekSource source(file);
    const FileContent content = Sniff(source);
    if (ReadFailed(*in, out)) return kFileFailed;
    const std::optional<ImageFormat> format = ChooseFormat(o, name, content, out);
    if (!format) return kFileFailed;
    if (o.lenient && *format != ImageFormat::SRecord)
        out.Error(name + ": warning: --lenient reads S-record files only; this " + FormatName(*format) +
                  " file is read strictly");
    if (o.ignoreChecksums && *format == ImageFormat::Binary)
        out.Error(name + ": warning: --ignore-checksums: a binary file has no checksums");
    load =
        ReadImage(source, image, *format, ReadOptions{.strict = !o.lenient, .checksums = !o.ignoreChecksums});
    if (StopRequested()) return kInterrupted;
    if (ReadFailed(*in, out)) return kFileFailed;

    const std::string at = name + ":";
    if (!load.Loaded()) {
        Refuse(name, load, Aside(load), out);
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
        Refuse(in->name, load, " (" + window + ")", out);
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
