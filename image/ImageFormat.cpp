#include "image/ImageFormat.h"

#include "image/IntelHex.h"
#include "image/RecordText.h"
#include "image/SRecord.h"

namespace h8sx {

namespace {

// How far blank lines before a first record are looked through: standard input keeps what
// is looked at, so not without end.
constexpr std::size_t kLookAhead = 64 * 1024;

}  // namespace

FileContent Sniff(PeekSource& in) {
    if (in.At(0) == 0x7F && in.At(1) == 'E' && in.At(2) == 'L' && in.At(3) == 'F') return FileContent::Elf;
    const bool marked = in.At(0) == 0xEF && in.At(1) == 0xBB && in.At(2) == 0xBF;
    std::size_t at = marked ? 3 : 0;
    while (at < kLookAhead && (records::IsBlank(in.At(at)) || records::IsLineEnd(in.At(at)))) ++at;
    const int first = in.At(at);
    if (first == 'S' || first == ':')
        return marked         ? FileContent::MarkedText
               : first == 'S' ? FileContent::SRecords
                              : FileContent::IntelHex;
    return first == records::kEnd && !marked ? FileContent::Nothing : FileContent::Other;
}

std::optional<ImageFormat> FormatNamed(std::string_view name) {
    if (name == "srec") return ImageFormat::SRecord;
    if (name == "ihex") return ImageFormat::IntelHex;
    if (name == "binary") return ImageFormat::Binary;
    return std::nullopt;
}

const char* FormatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::SRecord:
            return "S-record";
        case ImageFormat::IntelHex:
            return "Intel HEX";
        case ImageFormat::Binary:
            break;
    }
    return "binary";
}

ImageLoad ReadBinary(ByteSource& in, FlashImage& image) {
    ImageLoad load;
    load.format = ImageFormat::Binary;
    constexpr std::size_t kMost = kFlashImageRoom - kTailLength;
    std::size_t n = 0;
    for (int c; (c = in.Get()) >= 0; ++n) {
        if (n == kMost) {
            image.Length = static_cast<std::uint32_t>(n);
            load.fault = ImageFault::TooLarge;
            load.what = records::Format(
                "the file holds more than 0x%X bytes, the most that fits with the %u-byte "
                "tail into 0x%X bytes",
                static_cast<unsigned>(kMost), static_cast<unsigned>(kTailLength),
                static_cast<unsigned>(kFlashImageRoom));
            return load;
        }
        image.Bytes[n] = static_cast<std::uint8_t>(c);
    }
    image.Length = static_cast<std::uint32_t>(n);
    if (n == 0) {
        load.fault = ImageFault::NoData;
        load.what = "the file is empty: there is nothing to program";
        return load;
    }
    WriteTail(image);
    return load;
}

ImageLoad ReadImage(ByteSource& in, FlashImage& image, ImageFormat format, ReadOptions options) {
    switch (format) {
        case ImageFormat::SRecord:
            return ReadSRecords(in, image, {}, options);
        case ImageFormat::IntelHex:
            return ReadIntelHex(in, image, options.checksums);
        case ImageFormat::Binary:
            break;
    }
    return ReadBinary(in, image);
}

}  // namespace h8sx
