#include "image/SRecord.h"

#include <array>

#include "app/Texts.h"
#include "image/RecordText.h"

namespace h8sx {

namespace {

using namespace records;

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
        : text_(in), image_(image), placement_(image), eachRecord_(eachRecord), options_(options) {}

    ImageLoad Run() {
        ReadAll();
        return std::move(result_);
    }

private:
    // Record after record until the windows' reading ends: at a fault, at the termination
    // record or at the end of the file.
    void ReadAll() {
        for (;;) {
            const int mark = text_.SkipToRecord(blankBefore_);
            if (mark == kEnd) return EndOfFile();
            recordLine_ = text_.Line();
            if (mark != 'S')
                return (void)Fail(ImageFault::RecordType, Named(mark) + " where a record's S belongs");
            const int type = text_.Get();
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

    // The windows' reading ends here; false, for the caller to return.
    bool Fail(ImageFault fault, std::string what) {
        result_.fault = fault;
        result_.line = text_.Line();
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

    bool Problem(ImageFault fault, std::string what) {
        problem_ = fault;
        problemWhat_ = std::move(what);
        return false;
    }

    // Two hex digits; false with the problem noted.
    bool Byte(std::uint8_t& value) {
        int c;
        if (!text_.Byte(value, c)) {
            if (c == kEnd) return Problem(ImageFault::NoTermination, "the file ends inside a record");
            if (IsLineEnd(c) && announced_ >= 0)
                return Problem(ImageFault::NotHex,
                               Format("the line ends before the %d bytes its byte count %02X announces",
                                      announced_, static_cast<unsigned>(announced_)));
            return Problem(ImageFault::NotHex, Named(c) + " where a hex digit belongs");
        }
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
        const int c = text_.AfterBlanks(blankAfter_);
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

    bool DataRecord(int kind) {
        Body b;
        if (!ReadBody(static_cast<unsigned>(kind) + 1, kind, b)) return Fail();
        const std::uint64_t end = std::uint64_t{b.address} + b.length;  // one past its last byte
        if (end > kTopAddress[kind] + 1)
            return Fail(ImageFault::PastAddressSpace,
                        Format("the record's data runs past 0x%llX, the last address of %s",
                               static_cast<unsigned long long>(kTopAddress[kind]), RecordName(kind).c_str()));

        const std::uint64_t before = placement_.Next();
        const bool placed = placement_.Started();
        std::string what;
        if (!options_.place)
            placement_.Pass(b.address, b.length);
        else if (const ImageFault fault = placement_.Place(b.address, b.data.data(), b.length, what);
                 fault != ImageFault::None)
            return Fail(fault, std::move(what));

        if (!placed) {
            result_.firstAddress = b.address;
            firstKind_ = lastKind_ = kind;
            if (b.address != 0 && options_.place)
                Strict(StrictFault::FirstAddress, FirstAddressText("record", b.address), recordLine_);
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
            return Strict(StrictFault::Termination, "malformed termination record: " + problemWhat_,
                          text_.Line());
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
        if (!text_.OnlyBlankLinesFollow())
            Strict(StrictFault::TrailingText, "text after the termination record", text_.Line());
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
        if (placement_.DataBytes() == 0)
            return Fail(ImageFault::NoData, "no data record with a byte to program");
        result_.kind = kind;
        WriteTail(image_);
        return true;
    }

    RecordText text_;
    FlashImage& image_;
    Placement placement_;
    const std::function<void()>& eachRecord_;
    const ReadOptions options_;
    ImageLoad result_;
    std::uint32_t recordLine_ = 1;
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
