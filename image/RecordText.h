// What the two text readers, S-records and Intel HEX, share: the file's characters counted
// into lines, hex pairs, the names messages give characters, and the placing of data
// records into the image.
#pragma once

#include <cstdint>
#include <string>

#include "image/FlashImage.h"
#include "image/ImageLoad.h"

namespace h8sx::records {

inline constexpr int kEnd = -1;
inline constexpr int kCtrlZ = 0x1A;  // ends a text file where old tools pad it

int HexDigit(int c);  // -1 for anything else
inline bool IsBlank(int c) { return c == ' ' || c == '\t'; }
inline bool IsLineEnd(int c) { return c == '\r' || c == '\n'; }

std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A character as a message names it; a line end is named alike in every style.
std::string Named(int c);

// Why a file whose first data lie above address 0 is refused; `record` names the record.
std::string FirstAddressText(const char* record, std::uint64_t address);

// The file's characters, counted into lines: CR LF, a lone CR and a lone LF each end one
// line, and a line end belongs to the line it ends.
class RecordText {
   public:
    explicit RecordText(ByteSource& in) : in_(in) {}

    int Get();
    // The line (from 1) of the last character read; for the end of the file, its last line.
    std::uint32_t Line() const { return line_; }

    // Passes any run of blanks and line ends (blank lines, CR CR LF) up to the first other
    // character, and says whether a blank stood before it on its line; kEnd also for a final
    // run of Ctrl-Z.
    int SkipToRecord(bool& blankBefore);
    // Reads on past a Ctrl-Z: true when the file ends with nothing else; otherwise the
    // Ctrl-Z's line stays the one to name.
    bool OnlyCtrlZFollow();
    // After a file's last record: true when nothing but blanks, line ends and a final run of
    // Ctrl-Z follow; otherwise Line() is the first other character's.
    bool OnlyBlankLinesFollow();

    // Two hex digits; false with the character that is not one in `bad`.
    bool Byte(std::uint8_t& value, int& bad);
    // Passes the blanks behind a record and says whether there were any: the character
    // behind them, a line end or kEnd where the record ends right.
    int AfterBlanks(bool& blanks);

   private:
    ByteSource& in_;
    std::uint32_t lineEnds_ = 0;
    std::uint32_t line_ = 1;
    bool lastWasCr_ = false;
};

// Where the readers put their data records: the first at offset 0 whatever its address, each
// later one its address distance behind the data before it, the gap filled with 0xFF.
// Nothing is ever written beyond the room, and the room keeps the tail's place free.
class Placement {
   public:
    explicit Placement(FlashImage& image) : image_(image) { image_.Length = 0; }

    // ImageFault::None, or Descending or TooLarge with the reason in `what`: nothing is
    // written then.
    ImageFault Place(std::uint64_t address, const std::uint8_t* data, std::size_t n, std::string& what);
    // Notes a record that is not placed: a program for RAM lies where its records say.
    void Pass(std::uint64_t address, std::size_t n) {
        started_ = true;
        next_ = address + n;
        dataBytes_ += n;
    }
    // Whether any record was placed, an empty one included.
    bool Started() const { return started_; }
    // One past the last address placed.
    std::uint64_t Next() const { return next_; }
    std::uint64_t DataBytes() const { return dataBytes_; }

   private:
    FlashImage& image_;
    bool started_ = false;
    std::uint64_t next_ = 0;
    std::uint64_t dataBytes_ = 0;
};

}  // namespace h8sx::records
