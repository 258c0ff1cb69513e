#include "image/IntelHex.h"

#include <array>
#include <string>
#include <utility>

#include "image/RecordText.h"

namespace h8sx {

namespace {

using namespace records;

enum RecordType : std::uint8_t {
    kData = 0x00,
    kEndOfFile = 0x01,
    kSegmentBase = 0x02,   // the segment (address / 16) the offsets of later data records count from
    kSegmentStart = 0x03,  // CS:IP where an 8086 would start
    kLinearBase = 0x04,    // the upper 16 bits of later data records' addresses
    kLinearStart = 0x05,   // the 32-bit address where a program would start
};

std::string RecordName(unsigned type) {
    static constexpr const char* kNames[] = {
        "a data record",
        "an end record",
        "an extended segment address record",
        "a start segment address record",
        "an extended linear address record",
        "a start linear address record",
    };
    return Format("%s (%02X)", type < std::size(kNames) ? kNames[type] : "a record", type);
}

struct Record {
    std::uint8_t count = 0;  // of the data
    std::uint16_t offset = 0;
    std::uint8_t type = 0;
    std::array<std::uint8_t, 255> data;  // the first `count` bytes are read
    bool sumOk = false;
};

class HexReader {
   public:
    HexReader(ByteSource& in, FlashImage& image, bool checksums)
        : text_(in), image_(image), placement_(image), checksums_(checksums) {
        result_.format = ImageFormat::IntelHex;
    }

    ImageLoad Run() {
        while (Next()) {
        }
        return std::move(result_);
    }

   private:
    // One record; false once the file has ended or been refused.
    bool Next() {
        bool blankBefore = false;
        const int mark = text_.SkipToRecord(blankBefore);
        if (mark == kEnd)
            return Fail(ImageFault::NoTermination, records_ == 0 ? "the file holds no record"
                                                                 : "the file ends without an end record "
                                                                   "(:00000001FF) after its data");
        recordLine_ = text_.Line();
        if (mark != ':') return Fail(ImageFault::RecordType, Named(mark) + " where a record's ':' belongs");
        if (blankBefore) return Refuse(StrictFault::Blank, "a blank before the record's ':'");
        Record r;
        if (!Read(r)) return false;
        ++records_;
        if (!r.sumOk) {
            result_.badChecksumLines.push_back(recordLine_);
            if (checksums_) Refuse(StrictFault::Checksum, "wrong checksum");
        }
        switch (r.type) {
            case kData:
                return Data(r);
            case kEndOfFile:
                return EndOfFile(r);
            case kSegmentBase:
            case kLinearBase:
                if (!Fields(r, 2)) return false;
                base_ = std::uint64_t{r.data[0] * 256u + r.data[1]} << (r.type == kSegmentBase ? 4 : 16);
                return true;
            case kSegmentStart:
            case kLinearStart:
                return Fields(r, 4);
            default:
                return Fail(ImageFault::RecordType,
                            Format("record type %02X is none of 00 (data), 01 (end) and 02 to 05 (addresses)",
                                   static_cast<unsigned>(r.type)));
        }
    }

    // The reading stops here, at the line read last.
    bool Fail(ImageFault fault, std::string what) {
        result_.fault = fault;
        result_.line = text_.Line();
        result_.what = std::move(what);
        return false;
    }
    // What the fault kinds of the S-records' strict reading name; the first is kept, and only a
    // wrong checksum lets the reading go on (to name every such line).
    bool Refuse(StrictFault fault, std::string what, std::uint32_t line = 0) {
        if (result_.strictFault == StrictFault::None) {
            result_.strictFault = fault;
            result_.strictLine = line != 0 ? line : recordLine_;
            result_.strictWhat = std::move(what);
        }
        return fault == StrictFault::Checksum;
    }

    // Byte count, offset, type, data and checksum, then the line end.
    bool Read(Record& r) {
        sum_ = 0;
        announced_ = -1;
        std::uint8_t high, low;
        if (!Byte(r.count)) return false;
        announced_ = r.count;
        if (!Byte(high) || !Byte(low) || !Byte(r.type)) return false;
        r.offset = static_cast<std::uint16_t>(high << 8 | low);
        for (unsigned i = 0; i < r.count; ++i)
            if (!Byte(r.data[i])) return false;
        std::uint8_t checksum;
        if (!Byte(checksum)) return false;
        r.sumOk = sum_ == 0;  // every byte of the record, its checksum included, adds up to 0

        bool blanks = false;
        const int c = text_.AfterBlanks(blanks);
        if (HexDigit(c) >= 0)
            return Fail(ImageFault::LineEnd,
                        Format("the record goes on past the %u data bytes its byte count %02X announces",
                               static_cast<unsigned>(r.count), static_cast<unsigned>(r.count)));
        if (!IsLineEnd(c) && c != kEnd)
            return Fail(ImageFault::LineEnd, "text after the checksum: " + Named(c));
        if (blanks) return Refuse(StrictFault::Blank, "a blank after the checksum");
        return true;
    }

    bool Byte(std::uint8_t& value) {
        int c;
        if (text_.Byte(value, c)) {
            sum_ = static_cast<std::uint8_t>(sum_ + value);
            return true;
        }
        if (c == kEnd) return Fail(ImageFault::NoTermination, "the file ends inside a record");
        if (IsLineEnd(c) && announced_ >= 0)
            return Fail(ImageFault::NotHex,
                        Format("the line ends before the record does (its byte count %02X announces %d data "
                               "bytes, then the checksum)",
                               static_cast<unsigned>(announced_), announced_));
        return Fail(ImageFault::NotHex, Named(c) + " where a hex digit belongs");
    }

    // An address or start record: its byte count, and an offset field it does not use.
    bool Fields(const Record& r, unsigned count) {
        if (r.count != count)
            return Fail(ImageFault::ByteCount, Format("byte count %02X in %s, which holds %02X", r.count,
                                                      RecordName(r.type).c_str(), count));
        if (r.offset != 0)
            return Fail(ImageFault::ByteCount,
                        Format("address field %04X in %s, where it holds 0000",
                               static_cast<unsigned>(r.offset), RecordName(r.type).c_str()));
        return true;
    }

    bool Data(const Record& r) {
        // An 8086 would wrap such an offset inside its segment; tools split records there.
        if (r.offset + r.count > 0x10000)
            return Fail(ImageFault::PastAddressSpace,
                        "the record's data runs past offset 0xFFFF, where its address "
                        "would wrap");
        const std::uint64_t address = base_ + r.offset;
        const bool first = !placement_.Started();
        std::string what;
        if (const ImageFault fault = placement_.Place(address, r.data.data(), r.count, what);
            fault != ImageFault::None)
            return Fail(fault, std::move(what));
        ++result_.dataRecords;
        if (!first) return true;
        result_.firstAddress = static_cast<std::uint32_t>(address);
        return address == 0 || Refuse(StrictFault::FirstAddress, FirstAddressText("data record", address));
    }

    // The end record's address field carries a start address in some old tools' files: it
    // passes, unread.
    bool EndOfFile(const Record& r) {
        if (r.count != 0)
            return Fail(ImageFault::ByteCount, Format("byte count %02X in %s, which holds no data (00)",
                                                      r.count, RecordName(r.type).c_str()));
        if (placement_.DataBytes() == 0)
            return Fail(ImageFault::NoData, "no data record with a byte to program");
        if (!text_.OnlyBlankLinesFollow())
            return Refuse(StrictFault::TrailingText, "text after the end record", text_.Line());
        WriteTail(image_);
        return false;
    }

    RecordText text_;
    FlashImage& image_;
    Placement placement_;
    const bool checksums_;
    ImageLoad result_;
    std::uint32_t recordLine_ = 1;
    std::uint32_t records_ = 0;
    std::uint64_t base_ = 0;  // from the last 02 or 04 record
    // The record being read: its byte count for the messages, once read; its sum.
    int announced_ = -1;
    std::uint8_t sum_ = 0;
};

}  // namespace

ImageLoad ReadIntelHex(ByteSource& in, FlashImage& image, bool checksums) {
    return HexReader(in, image, checksums).Run();
}

}  // namespace h8sx
