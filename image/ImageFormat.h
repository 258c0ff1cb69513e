// The files h8sx writes from: S-records, Intel HEX and binary, the format known by a file's
// first bytes (or named), and the one call that reads any of them into the same image.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "image/FlashImage.h"
#include "image/ImageLoad.h"

namespace h8sx {

// What a file's first bytes say it holds, blank lines and blanks before a first record aside.
enum class FileContent : std::uint8_t {
    SRecords,    // an "S" begins the first record
    IntelHex,    // a ":" does
    Elf,         // 7F 'E' 'L' 'F': a linker's output, which holds no image as it stands
    MarkedText,  // a UTF-8 byte-order mark before an "S" or ":": an editor's, foreign to both
    Nothing,     // not a byte, or only blanks and line ends
    Other,       // binary, or nothing h8sx reads
};

// Looks at the first bytes; the reader given `in` afterwards reads from the first byte.
FileContent Sniff(PeekSource& in);

// "srec", "ihex", "binary", as --format names them.
std::optional<ImageFormat> FormatNamed(std::string_view name);
// "S-record", "Intel HEX", "binary", as messages name them.
const char* FormatName(ImageFormat format);

// The bytes as the flash holds them from address 0: refused only when there are none, or
// more than the image may hold. The tail follows them as it follows any image.
ImageLoad ReadBinary(ByteSource& in, FlashImage& image);

// The reader of `format`: the ReadOptions as ReadSRecords takes them; Intel HEX is read
// strictly whatever they say, and takes only `checksums`; binary takes none.
ImageLoad ReadImage(ByteSource& in, FlashImage& image, ImageFormat format, ReadOptions options);

}  // namespace h8sx
