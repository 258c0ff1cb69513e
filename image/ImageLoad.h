// What every reader of an image file shares: where its bytes come from, and what it reports.
// The S-record reader (image/SRecord.h) fills every field; the Intel HEX and binary readers
// (image/ImageFormat.h) fill those their formats know, and refuse what they refuse as
// faults of the same kinds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

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

// A source whose first bytes can be looked at before a reader takes them, from the first:
// standard input cannot be rewound, so what is looked at is kept.
class PeekSource : public ByteSource {
   public:
    explicit PeekSource(ByteSource& in) : in_(in) {}
    // The byte `offset` bytes from the start, or -1 past the end. Only before the first Get.
    int At(std::size_t offset) {
        while (ahead_.size() <= offset) {
            const int c = in_.Get();
            if (c < 0) return c;
            ahead_.push_back(static_cast<std::uint8_t>(c));
        }
        return ahead_[offset];
    }
    int Get() override { return next_ < ahead_.size() ? ahead_[next_++] : in_.Get(); }

   private:
    ByteSource& in_;
    std::vector<std::uint8_t> ahead_;
    std::size_t next_ = 0;
};

enum class ImageFormat : std::uint8_t { SRecord, IntelHex, Binary };

// What stops every reading, the windows' included; each has its status text. The S-record
// reader's cases are named; the other formats' faults of the same kind share them.
enum class ImageFault : std::uint8_t {
    None,
    NoTermination,     // the file ends before an S7, S8 or S9 (and not after a matching count record)
    NoData,            // no data record with a byte to program; an empty binary file
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
    ImageFormat format = ImageFormat::SRecord;
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

    // On success, the kind of S-record file: 1 (S1), 2 (S2) or 3 (S3), as its termination
    // record names it, or its data records where a count record ends the file.
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

}  // namespace h8sx
