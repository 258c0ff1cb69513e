#include "image/RecordText.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace h8sx::records {

int HexDigit(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;  // as other tools write them
    return -1;
}

std::string Format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string Named(int c) {
    if (c == kEnd) return "the end of the file";
    if (IsLineEnd(c)) return "the line's end";
    if (c == ' ') return "a blank";
    if (c == '\t') return "a tab";
    if (c == kCtrlZ) return "a Ctrl-Z";
    if (c > ' ' && c < 0x7F) return Format("'%c'", c);
    return Format("the byte 0x%02X", static_cast<unsigned>(c));
}

std::string FirstAddressText(const char* record, std::uint64_t address) {
    return Format(
        "the first %s lies at address 0x%04llX, not 0: this board starts at address 0, and a file "
        "linked elsewhere is written shifted and cannot start",
        record, static_cast<unsigned long long>(address));
}

int RecordText::Get() {
    const int c = in_.Get();
    if (c == kEnd) return c;  // the end lies on the last line read
    const bool pairedLf = c == '\n' && lastWasCr_;
    lastWasCr_ = c == '\r';
    if (pairedLf) return c;
    line_ = lineEnds_ + 1;
    if (IsLineEnd(c)) ++lineEnds_;
    return c;
}

int RecordText::SkipToRecord(bool& blankBefore) {
    blankBefore = false;
    for (;;) {
        const int c = Get();
        if (IsLineEnd(c))
            blankBefore = false;
        else if (IsBlank(c))
            blankBefore = true;
        else if (c == kCtrlZ)
            return OnlyCtrlZFollow() ? kEnd : kCtrlZ;
        else
            return c;
    }
}

bool RecordText::OnlyCtrlZFollow() {
    const std::uint32_t at = line_;
    int c;
    do c = Get();
    while (c == kCtrlZ);
    line_ = at;
    return c == kEnd;
}

bool RecordText::OnlyBlankLinesFollow() {
    for (;;) {
        const int c = Get();
        if (c == kEnd || (c == kCtrlZ && OnlyCtrlZFollow())) return true;
        if (!IsBlank(c) && !IsLineEnd(c)) return false;
    }
}

bool RecordText::Byte(std::uint8_t& value, int& bad) {
    int digits[2];
    for (int& d : digits) {
        const int c = Get();
        d = HexDigit(c);
        if (d < 0) {
            bad = c;
            return false;
        }
    }
    value = static_cast<std::uint8_t>(digits[0] * 16 + digits[1]);
    return true;
}

int RecordText::AfterBlanks(bool& blanks) {
    int c = Get();
    blanks = IsBlank(c);
    while (IsBlank(c)) c = Get();
    return c;
}

ImageFault Placement::Place(std::uint64_t address, const std::uint8_t* data, std::size_t n,
                            std::string& what) {
    std::uint64_t gap = 0;
    if (started_) {
        if (address < next_) {
            what = Format(
                "address 0x%04llX lies below the end of the data before it (0x%04llX): records must "
                "ascend without overlapping",
                static_cast<unsigned long long>(address), static_cast<unsigned long long>(next_));
            return ImageFault::Descending;
        }
        gap = address - next_;
    }
    const std::uint64_t imageEnd = image_.Length + gap + n;
    if (imageEnd + kTailLength > kFlashImageRoom) {
        what = Format(
            "the image would end at 0x%llX, past 0x%X, the most that fits with its %u-byte tail into "
            "0x%X bytes",
            static_cast<unsigned long long>(imageEnd), static_cast<unsigned>(kFlashImageRoom - kTailLength),
            static_cast<unsigned>(kTailLength), static_cast<unsigned>(kFlashImageRoom));
        return ImageFault::TooLarge;
    }
    // The room check above keeps every byte inside the image.
    const auto at = image_.Bytes.begin() + image_.Length;
    std::copy_n(data, n, std::fill_n(at, gap, std::uint8_t{0xFF}));
    image_.Length = static_cast<std::uint32_t>(imageEnd);
    next_ = address + n;  // past 0xFFFFFFFF no record can follow
    dataBytes_ += n;
    started_ = true;
    return ImageFault::None;
}

}  // namespace h8sx::records
