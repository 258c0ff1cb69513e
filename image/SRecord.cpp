#include "image/SRecord.h"

#include <algorithm>
#include <array>
#include <cstdarg>

#include "app/Texts.h"

namespace h8sx {

namespace {

constexpr int kEnd = -1;
constexpr int kCtrlZ = 0x1A;  // ends a text file where old tools pad it

// Behind the image: five 0xFF, the marker text, then 0xFF up to 128 bytes.
constexpr std::size_t kTailMarkerOffset = 5;
constexpr std::string_view kTailMarker = "QVN060220";

int HexDigit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;  // as other tools write them
    return -1;
}

bool IsBlank(int c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(int c) { return c == '\r' || c == '\n'; }

std::string Format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// A character as a message names it; a line end is named alike in every style.
std::string Named(int c) {
    if (c == kEnd) return "the end of the file";
    if (IsLineEnd(c)) return "the line's end";
    if (c == ' ') return "a blank";
    if (c == '\t') return "a tab";
    if (c == kCtrlZ) return "a Ctrl-Z";
    if (c > ' ' && c < 0x7F) return Format("'%c'", c);
    return Format("the byte 0x%02X", static_cast<unsigned>(c));
}

// A record as a message names it, by its type.
std::string RecordName(int type) {
    if (type == 0) return "a header (S0)";
    return Format(type == 5 || type == 6 ? "an S%d count record" : "an S%d record", type);
}

// The highest address of each kind's address field.
constexpr std::uint64_t kTopAddress[] = {0, 0xFFFF, 0xFFFFFF, 0xFFFFFFFF};

// One record's fields after its type, up to and including its line end.
struct Body {
    std::uint8_t count = 0;
    std::uint32_t address = 0;
    std::array<std::uint8_t, 255> data;  // the first `length` bytes are read
    unsigned length = 0;  // of the data
    bool sumOk = false;
};

class Reader {
public:
    Reader(ByteSource& in, FlashImage& image, const std::function<void()>& eachRecord, ReadOptions options)
        : in_(in), image_(image), eachRecord_(eachRecord), options_(options) {}

    ImageLoad Run() {
        image_.Length = 0;
        ReadAll();
        return std::move(result_);
    }

private:
    // Record after record until the windows' reading ends: at a fault, at the termination
    // record or at the end of the file.
    void ReadAll() {
        for (;;) {
            const int mark = SkipToRecord();
            if (mark == kEnd) return EndOfFile();
            recordLine_ = line_;
            if (mark != 'S')
                return (void)Fail(ImageFault::RecordType, Named(mark) + " where a record's S belongs");
            const int type = Get();
            bool read = false;
            switch (type) {
                case '0':
                    read = Header();
                    break;
                case '1':
                case '2':
                case '3':
                    read = DataRecord(type - '0');
                    break;
                case '5':
                case '6':
                    read = CountRecord(type - '0');
                    break;
                case '7':
                case '8':
                case '9':
                    return Termination(type);
                case kEnd:
                    return (void)Fail(ImageFault::NoTermination, "the file ends inside a record");
                case '4':
                    return (void)Fail(ImageFault::RecordType, "S4 is no record type");
                default:
                    return (void)Fail(ImageFault::RecordType,
                                      Named(type) + " after S, where the record type belongs");
            }
            if (!read) return;
            ++recordsRead_;
        }
    }

    // A CR LF pair, a lone CR and a lone LF each end one line; a line end belongs to the
    // line it ends.
    int Get() {
        const int c = in_.Get();
        if (c == kEnd) return c;  // the end lies on the last line read
        const bool pairedLf = c == '\n' && lastWasCr_;
        lastWasCr_ = c == '\r';
        if (pairedLf) return c;
        line_ = lineEnds_ + 1;
        if (c == '\n' || c == '\r') ++lineEnds_;
        return c;
    }

    // The windows' reading ends here; false, for the caller to return.
    bool Fail(ImageFault fault, std::string what) {
        result_.fault = fault;
        result_.line = line_;
        result_.what = std::move(what);
        return false;
    }
    bool Fail() { return Fail(problem_, std::move(problemWhat_)); }

    // The first thing only the strict reading refuses; the windows' reading goes on.
    void Strict(StrictFault fault, std::string what, std::uint32_t line) {
        if (!options_.strict || result_.strictFault != StrictFault::None) return;
        result_.strictFault = fault;
        result_.strictLine = line;
        result_.strictWhat = std::move(what);
    }
    bool StrictRefused() const { return result_.strictFault != StrictFault::None; }

    // Passes any run of blanks and line ends (blank lines, CR CR LF) up to the first other
    // character; kEnd also for a final run of Ctrl-Z.
    int SkipToRecord() {
        blankBefore_ = false;
        for (;;) {
            const int c = Get();
            if (IsLineEnd(c))
                blankBefore_ = false;
            else if (IsBlank(c))
                blankBefore_ = true;
            else if (c == kCtrlZ)
                return OnlyCtrlZFollow() ? kEnd : kCtrlZ;
            else
                return c;
        }
    }

    // Reads on past a Ctrl-Z: true when the file ends with nothing else; otherwise the
    // Ctrl-Z's line stays the one to name.
    bool OnlyCtrlZFollow() {
        const std::uint32_t at = line_;
        int c;
        do c = Get();
        while (c == kCtrlZ);
        line_ = at;
        return c == kEnd;
    }

    bool Problem(ImageFault fault, std::string what) {
        problem_ = fault;
        problemWhat_ = std::move(what);
        return false;
    }

    // Two hex digits; false with the problem noted.
    bool Byte(std::uint8_t& value) {
        int digits[2];
        for (int& d : digits) {
            const int c = Get();
            if (c == kEnd) return Problem(ImageFault::NoTermination, "the file ends inside a record");
            d = HexDigit(c);
            if (d >= 0) continue;
            if (IsLineEnd(c) && announced_ >= 0)
                return Problem(ImageFault::NotHex,
                               Format("the line ends before the %d bytes its byte count %02X announces",
                                      announced_, static_cast<unsigned>(announced_)));
            return Problem(ImageFault::NotHex, Named(c) + " where a hex digit belongs");
        }
        value = static_cast<std::uint8_t>(digits[0] * 16 + digits[1]);
        sum_ += value;
        return true;
    }

    // Byte count, address, data and checksum, then the line end; false with the problem
    // noted. The byte count counts address, data and checksum, so that it alone says where
    // the record ends: what stands behind the checksum on its line is a fault.
    bool ReadBody(unsigned addressBytes, int type, Body& b) {
        sum_ = 0;
        announced_ = -1;
        if (!Byte(b.count)) return false;
        if (b.count < addressBytes + 1)
            return Problem(
                ImageFault::ByteCount,
                Format("byte count %02X is too small for %s (at least %02X: address and checksum)",
                       static_cast<unsigned>(b.count), RecordName(type).c_str(), addressBytes + 1));
        announced_ = b.count;
        b.length = b.count - addressBytes - 1;
        b.address = 0;
        for (unsigned i = 0; i < addressBytes; ++i) {
            std::uint8_t a;
            if (!Byte(a)) return false;
            b.address = b.address << 8 | a;
        }
        for (unsigned i = 0; i < b.length; ++i)
            if (!Byte(b.data[i])) return false;
        std::uint8_t checksum;
        if (!Byte(checksum)) return false;
        announced_ = -1;
        b.sumOk = sum_ == 0xFF;  // count, address, data and checksum add up to 0xFF
        return LineEnd(b);
    }

    // A line end behind the checksum, after any blanks. The end of the file passes here;
    // the next record's read reports it.
    bool LineEnd(const Body& b) {
        int c = Get();
        blankAfter_ = IsBlank(c);
        while (IsBlank(c)) c = Get();
        if (IsLineEnd(c) || c == kEnd) return true;
        if (HexDigit(c) >= 0)
            return Problem(ImageFault::LineEnd,
                           Format("the record goes on past the %u bytes its byte count %02X announces",
                                  static_cast<unsigned>(b.count), static_cast<unsigned>(b.count)));
        return Problem(ImageFault::LineEnd, "text after the checksum: " + Named(c));
    }

    // What the strict reading asks of every record that has been read: no blank around
    // it, and its checksum.
    void RecordChecks(const Body& b) {
        if (!b.sumOk) {
            result_.badChecksumLines.push_back(recordLine_);
            if (options_.checksums) Strict(StrictFault::Checksum, "wrong checksum", recordLine_);
        }
        if (blankBefore_) Strict(StrictFault::Blank, "a blank before the record's S", recordLine_);
        if (blankAfter_) Strict(StrictFault::Blank, "a blank after the checksum", recordLine_);
    }

    bool Header() {
        Body b;
        if (!ReadBody(2, 0, b)) return Fail();
        if (recordsRead_ > 0)
            Strict(StrictFault::HeaderPlace,
                   headerSeen_ ? "a second header (S0)" : "a header (S0) after the first record",
                   recordLine_);
        RecordChecks(b);
        headerSeen_ = true;
        lastWasCount_ = false;
        return true;
    }

    // The first record lands at offset 0; each later one lies its address distance behind
    // the data before it, the gap filled with 0xFF. Going back would overwrite.
    bool Place(const Body& b, bool placed) {
        std::uint64_t gap = 0;
        if (placed) {
            if (b.address < next_)
                return Fail(ImageFault::Descending,
                            Format("address 0x%04llX lies below the end of the data before it (0x%04llX): "
                                   "records must ascend without overlapping",
                                   static_cast<unsigned long long>(b.address),
                                   static_cast<unsigned long long>(next_)));
            gap = b.address - next_;
        }
        const std::uint64_t imageEnd = image_.Length + gap + b.length;
        if (imageEnd + kTailLength > kFlashImageRoom)
            return Fail(
                ImageFault::TooLarge,
                Format("the image would end at 0x%llX, past 0x%X, the most that fits with its %u-byte "
                       "tail into 0x%X bytes",
                       static_cast<unsigned long long>(imageEnd),
                       static_cast<unsigned>(kFlashImageRoom - kTailLength),
                       static_cast<unsigned>(kTailLength), static_cast<unsigned>(kFlashImageRoom)));
        // The room check above keeps every byte inside the image.
        const auto at = image_.Bytes.begin() + image_.Length;
        std::copy_n(b.data.begin(), b.length, std::fill_n(at, gap, std::uint8_t{0xFF}));
        image_.Length = static_cast<std::uint32_t>(imageEnd);
        return true;
    }

    bool DataRecord(int kind) {
        Body b;
        if (!ReadBody(static_cast<unsigned>(kind) + 1, kind, b)) return Fail();
        const std::uint64_t end = std::uint64_t{b.address} + b.length;  // one past its last byte
        if (end > kTopAddress[kind] + 1)
            return Fail(ImageFault::PastAddressSpace,
                        Format("the record's data runs past 0x%llX, the last address of %s",
                               static_cast<unsigned long long>(kTopAddress[kind]), RecordName(kind).c_str()));

        const std::uint64_t before = next_;
        const bool placed = result_.dataRecords > 0;
        if (options_.place && !Place(b, placed)) return false;
        next_ = end;  // past 0xFFFFFFFF no record can follow
        dataBytes_ += b.length;

        if (!placed) {
            result_.firstAddress = b.address;
            firstKind_ = lastKind_ = kind;
            if (b.address != 0 && options_.place)
                Strict(StrictFault::FirstAddress,
                       Format("the first record lies at address 0x%04X, not 0: this board starts at "
                              "address 0, and a file linked elsewhere is written shifted and cannot start",
                              static_cast<unsigned>(b.address)),
                       recordLine_);
        } else if (kind != lastKind_) {
            // Some tools write each record with the narrowest address that holds it: S1 up to
            // 0xFFFF, S2 from 0x10000 on. Anywhere else a changed type is a damaged one (the
            // checksum does not cover it), which would move the record's data elsewhere.
            if (kind == lastKind_ + 1 && b.address == kTopAddress[lastKind_] + 1 && before == b.address)
                lastKind_ = kind;
            else if (kind > lastKind_)
                Strict(StrictFault::MixedTypes,
                       Format("an S%d record among S%d records (the type may widen only where the S%d data "
                              "end, at 0x%llX)",
                              kind, lastKind_, lastKind_,
                              static_cast<unsigned long long>(kTopAddress[lastKind_])),
                       recordLine_);
            else
                Strict(StrictFault::MixedTypes, Format("an S%d record after S%d records", kind, lastKind_),
                       recordLine_);
        }
        RecordChecks(b);
        ++result_.dataRecords;
        lastWasCount_ = false;
        if (eachRecord_) eachRecord_();
        return true;
    }

    // S5 (16-bit) and S6 (24-bit): how many data records came before; no data.
    bool CountRecord(int type) {
        Body b;
        const unsigned countBytes = type == 5 ? 2 : 3;
        if (!ReadBody(countBytes, type, b)) return Fail();
        if (b.length != 0)
            return Fail(ImageFault::ByteCount,
                        Format("byte count %02X in %s, which holds only its count and checksum (%02X)",
                               static_cast<unsigned>(b.count), RecordName(type).c_str(), countBytes + 1));
        if (b.address != result_.dataRecords)
            return Fail(ImageFault::RecordCount,
                        Format("the S%d record counts %u data records, %u come before it", type,
                               static_cast<unsigned>(b.address), static_cast<unsigned>(result_.dataRecords)));
        RecordChecks(b);
        lastWasCount_ = true;
        if (eachRecord_) eachRecord_();
        return true;
    }

    // S7, S8, S9: the windows' reading ends at its type. The strict one reads it as a record
    // and what follows it to the end of the file.
    void Termination(int type) {
        const int kind = '9' - type + 1;
        if (!Complete(kind)) return;
        if (!options_.strict || StrictRefused()) return;

        Body b;
        if (!ReadBody(static_cast<unsigned>(kind) + 1, type - '0', b))
            return Strict(StrictFault::Termination, "malformed termination record: " + problemWhat_, line_);
        if (b.length != 0)
            return Strict(StrictFault::Termination,
                          Format("malformed termination record: byte count %02X, where %s has %02X",
                                 static_cast<unsigned>(b.count), RecordName(type - '0').c_str(), kind + 2),
                          recordLine_);
        RecordChecks(b);
        if (options_.place && (kind < firstKind_ || kind > lastKind_))
            Strict(StrictFault::TerminationKind,
                   firstKind_ == lastKind_
                       ? Format("S%c ends a file of S%d records (S%d ends them)", type, firstKind_,
                                10 - firstKind_)
                       : Format("S%c ends a file of S%d and S%d records (S%d or S%d ends them)", type,
                                firstKind_, lastKind_, 10 - firstKind_, 10 - lastKind_),
                   recordLine_);
        for (;;) {
            const int c = Get();
            if (c == kEnd || (c == kCtrlZ && OnlyCtrlZFollow())) return;
            if (!IsBlank(c) && !IsLineEnd(c))
                return Strict(StrictFault::TrailingText, "text after the termination record", line_);
        }
    }

    // The file ends where a record would start: complete when its last record was a count
    // record (it matched: one that miscounts stops the reading).
    void EndOfFile() {
        if (lastWasCount_) {
            result_.endedByCount = true;
            Complete(lastKind_);
            return;
        }
        Fail(ImageFault::NoTermination,
             recordsRead_ == 0
                 ? "the file holds no record"
                 : "the file ends without a termination record (S7, S8, S9) or a count record (S5, "
                   "S6) after its data");
    }

    bool Complete(int kind) {
        if (dataBytes_ == 0) return Fail(ImageFault::NoData, "no data record with a byte to program");
        result_.kind = kind;
        WriteTail();
        return true;
    }

    void WriteTail() {
        // The size check of every record keeps room for the tail.
        const std::size_t at = image_.Length;
        if (at + kTailLength > image_.Bytes.size()) return;
        std::fill_n(image_.Bytes.begin() + static_cast<std::ptrdiff_t>(at), kTailLength, std::uint8_t{0xFF});
        std::copy(kTailMarker.begin(), kTailMarker.end(),
                  image_.Bytes.begin() + static_cast<std::ptrdiff_t>(at + kTailMarkerOffset));
    }

    ByteSource& in_;
    FlashImage& image_;
    const std::function<void()>& eachRecord_;
    const ReadOptions options_;
    ImageLoad result_;
    std::uint32_t lineEnds_ = 0;
    std::uint32_t line_ = 1;
    std::uint32_t recordLine_ = 1;
    bool lastWasCr_ = false;
    // The record being read: blanks around it, its byte count for the messages, its sum.
    bool blankBefore_ = false;
    bool blankAfter_ = false;
    int announced_ = -1;  // the byte count, once read; -1 before it
    std::uint8_t sum_ = 0;
    ImageFault problem_ = ImageFault::None;
    std::string problemWhat_;
    // The records so far.
    std::uint32_t recordsRead_ = 0;
    bool headerSeen_ = false;
    bool lastWasCount_ = false;
    int firstKind_ = 0;  // the first data record's type
    int lastKind_ = 0;   // the last one's, widened from S1 to S2 only at 0x10000
    std::uint64_t dataBytes_ = 0;
    std::uint64_t next_ = 0;
};

}  // namespace

ImageLoad ReadSRecords(ByteSource& in, FlashImage& image, const std::function<void()>& eachRecord,
                       ReadOptions options) {
    return Reader(in, image, eachRecord, options).Run();
}

std::string ImageStatusText(const ImageLoad& load) {
    static constexpr std::array<const char*, 3> kParsed = {text::kS1Parsed, text::kS2Parsed, text::kS3Parsed};
    const char* what = "";
    // clang-format off
    switch (load.fault) {
        case ImageFault::None:
            return load.kind >= 1 && load.kind <= 3 ? kParsed[static_cast<std::size_t>(load.kind - 1)] : "";
        case ImageFault::NoTermination: what = "終端なしERR"; break;
        case ImageFault::NoData: what = "データなしERR"; break;
        case ImageFault::RecordType: what = "S形式ERR"; break;
        case ImageFault::NotHex: what = "HEX文字ERR"; break;
        case ImageFault::ByteCount: what = "バイト数ERR"; break;
        case ImageFault::Descending:
        case ImageFault::PastAddressSpace: what = "アドレスERR"; break;
        case ImageFault::TooLarge: what = "サイズERR"; break;
        case ImageFault::RecordCount: what = "件数ERR"; break;
        case ImageFault::LineEnd: what = "行末ERR"; break;
    }
    // clang-format on
    return std::string(what) + " " + std::to_string(load.line) + "行";
}

}  // namespace h8sx
