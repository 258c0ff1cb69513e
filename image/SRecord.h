// The S-record reader behind LoadImage: Motorola S-record text in, FlashImage out.
//
// The reader takes the file character by character, as a stream, and stops at the first
// termination record (S7, S8, S9) without reading what follows it. Lines may end in LF,
// CR LF or CR alone; a header ends at its line end. It fills address gaps
// with 0xFF, places the first data record at offset 0 whatever its address, and writes the
// 128-byte tail behind the image. Damaged input stops it with a fault and the line the fault
// lies on; nothing is ever written outside the image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "image/FlashImage.h"

namespace h8sx {

// Where the reader's characters come from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // The next byte (0..255), or -1 at the end.
    virtual int Get() = 0;
};

// An open file, read byte by byte; line ends are the reader's business, so open it binary.
class FileSource : public ByteSource {
public:
    explicit FileSource(std::FILE* f) : f_(f) {}
    int Get() override {
        const int c = std::fgetc(f_);
        return c == EOF ? -1 : c;
    }

private:
    std::FILE* f_;
};

// Text already in memory; tells how far the reader got.
class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::string_view text) : text_(text) {}
    int Get() override { return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_++]) : -1; }
    std::size_t Consumed() const { return pos_; }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

enum class ImageFault : std::uint8_t {
    None,
    NoTermination,  // the file ends before an S7, S8 or S9
    NoData,         // a header directly followed by a termination record
    RecordType,     // no "S" where a record starts; type 4, or a type that is not a digit
    NotHex,         // a character that is not a hex digit where one belongs
    ByteCount,      // a byte count too small for the address and the checksum
    Descending,     // an address below the end of the data placed so far
    TooLarge,       // the image and its tail would not fit into the room
    RecordCount,    // an S5 or S6 count that differs from the data records read
    LineEnd,        // other characters behind the checksum
};

struct ImageLoad {
    ImageFault fault = ImageFault::None;
    // The line (from 1) the fault lies on; for a file that ends too early, its last line.
    std::uint32_t line = 0;
    // On success, the kind of file its termination record names: 1 (S9), 2 (S8) or 3 (S7).
    int kind = 0;
    std::uint32_t dataRecords = 0;
    // The address of the first data record, which is placed at offset 0 all the same.
    std::uint32_t firstAddress = 0;
    // The lines of records whose checksum is wrong; they are loaded as they read all the same.
    std::vector<std::uint32_t> badChecksumLines;

    bool Loaded() const { return fault == ImageFault::None; }
};

// Reads records into `image` (a fresh one) until the termination record. `eachRecord` runs
// after every data or count record, so that a long file keeps the windows live. On a fault
// the image holds whatever was placed before it and must not be programmed.
ImageLoad ReadSRecords(ByteSource& in, FlashImage& image, const std::function<void()>& eachRecord = {});

// The status line's text for the outcome: "S1ファイル解析完了" and its kin on success, a
// short fault text naming the line otherwise.
std::string ImageStatusText(const ImageLoad& load);

}  // namespace h8sx
