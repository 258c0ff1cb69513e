#include "image/SRecord.h"

#include <algorithm>
#include <array>

#include "app/Texts.h"

namespace h8sx {

namespace {

constexpr int kEnd = -1;

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

class Reader {
public:
    Reader(ByteSource& in, FlashImage& image, const std::function<void()>& eachRecord)
        : in_(in), image_(image), eachRecord_(eachRecord) {}

    ImageLoad Run() {
        image_.Length = 0;
        ReadAll();
        return result_;
    }

private:
    // False at the first fault, with the fault recorded.
    bool ReadAll() {
        bool afterHeader = false;
        for (;;) {
            const int mark = SkipToRecord();
            if (mark == kEnd) return Fail(ImageFault::NoTermination);
            if (mark != 'S') return Fail(ImageFault::RecordType);
            const int type = Get();
            if (type == '0') {
                // A header is skipped to its line end; the next line must hold a record, so
                // that a line that lost its "S" stops the load instead of vanishing in it.
                if (!SkipLine()) return Fail(ImageFault::NoTermination);
                afterHeader = true;
                continue;
            }
            switch (type) {
                case '1':
                case '2':
                case '3':
                    if (!DataRecord(static_cast<unsigned>(type - '0') + 1)) return false;
                    break;
                case '5':
                case '6':
                    if (!CountRecord(type == '5' ? 2 : 3)) return false;
                    break;
                case '7':
                case '8':
                case '9':
                    // What follows the termination record's type, its own fields included,
                    // is not read.
                    if (afterHeader) return Fail(ImageFault::NoData);
                    result_.kind = '9' - type + 1;
                    WriteTail();
                    return true;
                case kEnd:
                    return Fail(ImageFault::NoTermination);
                default:
                    return Fail(ImageFault::RecordType);
            }
            afterHeader = false;
            if (eachRecord_) eachRecord_();
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

    bool Fail(ImageFault fault) {
        result_.fault = fault;
        result_.line = line_;
        return false;
    }

    // Passes any run of blanks and line ends (blank lines, CR CR LF) up to the first other
    // character (or kEnd).
    int SkipToRecord() {
        int c;
        do c = Get();
        while (IsBlank(c) || IsLineEnd(c));
        return c;
    }

    // Reads up to and including the first line-end character; false at the end of the file.
    bool SkipLine() {
        int c;
        do c = Get();
        while (c != kEnd && !IsLineEnd(c));
        return c != kEnd;
    }

    // A line end behind the checksum, after any blanks. The end of the file passes here;
    // the next record's read reports it.
    bool LineEnd() {
        int c = Get();
        while (IsBlank(c)) c = Get();
        if (IsLineEnd(c) || c == kEnd) return true;
        return Fail(ImageFault::LineEnd);
    }

    bool Byte(std::uint8_t& value) {
        int digits[2];
        for (int& d : digits) {
            const int c = Get();
            if (c == kEnd) return Fail(ImageFault::NoTermination);
            d = HexDigit(c);
            if (d < 0) return Fail(ImageFault::NotHex);
        }
        value = static_cast<std::uint8_t>(digits[0] * 16 + digits[1]);
        sum_ += value;
        return true;
    }

    // Byte count and address; the number of bytes between the address and the checksum.
    bool CountAndAddress(unsigned addressBytes, std::uint32_t& address, unsigned& length) {
        std::uint8_t count;
        sum_ = 0;
        if (!Byte(count)) return false;
        if (count < addressBytes + 1) return Fail(ImageFault::ByteCount);
        length = count - addressBytes - 1;
        address = 0;
        for (unsigned i = 0; i < addressBytes; ++i) {
            std::uint8_t b;
            if (!Byte(b)) return false;
            address = address << 8 | b;
        }
        return true;
    }

    bool Put(std::uint8_t b) {
        if (image_.Length >= image_.Bytes.size()) return Fail(ImageFault::TooLarge);
        image_.Bytes[image_.Length++] = b;
        return true;
    }

    bool DataRecord(unsigned addressBytes) {
        std::uint32_t address;
        unsigned length;
        if (!CountAndAddress(addressBytes, address, length)) return false;

        // The first record lands at offset 0; each later one lies its address distance
        // behind the data before it, the gap filled with 0xFF. Going back would overwrite.
        std::uint64_t gap = 0;
        if (placed_) {
            if (address < next_) return Fail(ImageFault::Descending);
            gap = address - next_;
        }
        if (image_.Length + gap + length + kTailLength > kFlashImageRoom) return Fail(ImageFault::TooLarge);
        for (std::uint64_t i = 0; i < gap; ++i)
            if (!Put(0xFF)) return false;
        for (unsigned i = 0; i < length; ++i) {
            std::uint8_t b;
            if (!Byte(b) || !Put(b)) return false;
        }
        if (!placed_) result_.firstAddress = address;
        placed_ = true;
        next_ = std::uint64_t{address} + length;  // past 0xFFFFFFFF no record can follow

        std::uint8_t checksum;  // read for its form only: a record is loaded as it reads
        if (!Byte(checksum)) return false;
        CheckSum();
        if (!LineEnd()) return false;
        ++result_.dataRecords;
        return true;
    }

    // S5 (16-bit) and S6 (24-bit): how many data records came before.
    bool CountRecord(unsigned countBytes) {
        std::uint32_t count;
        unsigned length;
        if (!CountAndAddress(countBytes, count, length)) return false;
        if (count != result_.dataRecords) return Fail(ImageFault::RecordCount);
        for (unsigned i = 0; i <= length; ++i) {  // any data, then the checksum
            std::uint8_t b;
            if (!Byte(b)) return false;
        }
        CheckSum();
        return LineEnd();
    }

    // Count, address, data and checksum add up to 0xFF.
    void CheckSum() {
        if (sum_ != 0xFF) result_.badChecksumLines.push_back(line_);
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
    ImageLoad result_;
    std::uint32_t lineEnds_ = 0;
    std::uint32_t line_ = 1;
    bool lastWasCr_ = false;
    bool placed_ = false;
    std::uint8_t sum_ = 0;
    std::uint64_t next_ = 0;
};

}  // namespace

ImageLoad ReadSRecords(ByteSource& in, FlashImage& image, const std::function<void()>& eachRecord) {
    return Reader(in, image, eachRecord).Run();
}

std::string ImageStatusText(const ImageLoad& load) {
    static constexpr std::array<const char*, 3> kParsed = {text::kS1Parsed, text::kS2Parsed, text::kS3Parsed};
    const char* what = "";
    switch (load.fault) {
        case ImageFault::None:
            return load.kind >= 1 && load.kind <= 3 ? kParsed[static_cast<std::size_t>(load.kind - 1)] : "";
        case ImageFault::NoTermination: what = "終端なしERR"; break;
        case ImageFault::NoData: what = "データなしERR"; break;
        case ImageFault::RecordType: what = "S形式ERR"; break;
        case ImageFault::NotHex: what = "HEX文字ERR"; break;
        case ImageFault::ByteCount: what = "バイト数ERR"; break;
        case ImageFault::Descending: what = "アドレスERR"; break;
        case ImageFault::TooLarge: what = "サイズERR"; break;
        case ImageFault::RecordCount: what = "件数ERR"; break;
        case ImageFault::LineEnd: what = "行末ERR"; break;
    }
    return std::string(what) + " " + std::to_string(load.line) + "行";
}

}  // namespace h8sx
