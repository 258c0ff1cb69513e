// The S-record reader behind LoadImage and h8sx: Motorola S-record text in, FlashImage out.
//
// The reader takes the file character by character, as a stream, record by record: each
// record by its byte count (header, data, count and termination records alike), then its
// checksum and its line end. Lines may end in LF, CR LF or CR alone; blank lines and
// lower-case hex digits read as well. It fills address gaps with 0xFF, places the first data
// record at offset 0 whatever its address, and writes the 128-byte tail behind the image.
//
// A file ends with its termination record (S7, S8, S9), or, as some tools write it, with a
// count record (S5, S6) that counts its data records. Damaged input stops the reader with a
// fault and the line the fault lies on; nothing is ever written outside the image.
//
// Two readings share this code. The windows' reading stops at the termination record's type
// and loads what a person could have meant (records with a wrong checksum, of mixed types, a
// file linked above address 0). h8sx reads strictly by default: it refuses in addition what
// only a damaged or foreign file holds (StrictFault), and reads on to the end of the file.
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

// What stops every reading, the windows' included; each has its status text.
enum class ImageFault : std::uint8_t {
    None,
    NoTermination,     // the file ends before an S7, S8 or S9 (and not after a matching count record)
    NoData,            // no data record with a byte to program
    RecordType,        // no "S" where a record starts; type 4, or a type that is not a digit
    NotHex,            // a character that is not a hex digit where one belongs
    ByteCount,         // a byte count too small for the address and the checksum; a count record's not 3 or 4
    Descending,        // an address below the end of the data placed so far
    PastAddressSpace,  // data beyond 0xFFFF (S1), 0xFFFFFF (S2) or 0xFFFFFFFF (S3)
    TooLarge,          // the image and its tail would not fit into the room
    RecordCount,       // an S5 or S6 count that differs from the data records read
    LineEnd,           // other characters behind the checksum
};

// What only the strict reading refuses: the windows load such a file.
enum class StrictFault : std::uint8_t {
    None,
    Checksum,         // a record's checksum is wrong (ReadOptions::checksums)
    Termination,      // a termination record's byte count, hex digits or line end
    TerminationKind,  // S9 after S2 records, and the like
    MixedTypes,       // data records of different types
    HeaderPlace,      // a header (S0) that is not the first record
    Blank,            // a blank before a record's "S" or behind its checksum
    TrailingText,     // anything but blank lines and a final Ctrl-Z after the termination record
    FirstAddress,     // the first data record does not lie at address 0
};

struct ReadOptions {
    // h8sx's reading: StrictFault refuses too, and the file is read to its end.
    bool strict = false;
    // With strict: a wrong checksum refuses (h8sx --ignore-checksums clears it).
    bool checksums = true;
    // The records are placed into the image, with the flash's rules: ascending from the
    // first at offset 0, within the image's room, ended by the termination record of their
    // kind. Off for a program that goes to RAM, which lies where its records say (the
    // image stays empty) and ends where the board's program takes it.
    bool place = true;
};

struct ImageLoad {
    // How the windows' reading ends, and the line (from 1) the fault lies on; for a file that
    // ends too early, its last line. The strict reading learns it too, so that a refusal can
    // say what the window would do with the same file.
    ImageFault fault = ImageFault::None;
    std::uint32_t line = 0;
    std::string what;  // the fault in English, with the values at hand
    // With ReadOptions::strict: the first thing that reading refuses beyond the windows'.
    StrictFault strictFault = StrictFault::None;
    std::uint32_t strictLine = 0;
    std::string strictWhat;

    // On success, the kind of file: 1 (S1), 2 (S2) or 3 (S3), as its termination record names
    // it, or its data records where a count record ends the file.
    int kind = 0;
    bool endedByCount = false;
    std::uint32_t dataRecords = 0;
    // The address of the first data record, which is placed at offset 0 all the same.
    std::uint32_t firstAddress = 0;
    // The lines of records whose checksum is wrong; the windows load them as they read.
    std::vector<std::uint32_t> badChecksumLines;

    bool Loaded() const { return fault == ImageFault::None && strictFault == StrictFault::None; }
    // The refusal, where a file is refused: the strict one when there is one (it comes
    // first), else the windows' fault.
    std::uint32_t RefusedLine() const { return strictFault != StrictFault::None ? strictLine : line; }
    const std::string& Refusal() const { return strictFault != StrictFault::None ? strictWhat : what; }
};

// Reads records into `image` (a fresh one) until the end of the file. `eachRecord` runs
// after every data or count record, so that a long file keeps the windows live. Unless
// Loaded(), the image holds whatever was placed before the fault and must not be programmed.
ImageLoad ReadSRecords(ByteSource& in, FlashImage& image, const std::function<void()>& eachRecord = {},
                       ReadOptions options = {});

// The status line's text for the windows' outcome: "S1ファイル解析完了" and its kin on
// success, a short fault text naming the line otherwise.
std::string ImageStatusText(const ImageLoad& load);

}  // namespace h8sx
