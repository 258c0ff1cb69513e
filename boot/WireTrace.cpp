#include "boot/WireTrace.h"

#include <algorithm>
#include <cstdio>

#include "boot/BootAnswers.h"

namespace h8sx {

WireTrace::WireTrace(SerialDevice& device, Sink sink) : device_(device), sink_(std::move(sink)) {}

std::string WireTrace::Stamp() {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count());
    return text;
}

void WireTrace::Note(const std::string& text) { sink_("# " + Stamp() + " " + text + "\n"); }

void WireTrace::Exchange(const std::string& what) { exchange_ = what; }

ComHandleValue WireTrace::CreateFile(const std::string& name) {
    const ComHandleValue h = device_.CreateFile(name);
    Note(h == kInvalidHandle ? "the port " + name + " did not open" : "the port " + name + " opened");
    exchange_.clear();
    return h;
}

bool WireTrace::CloseHandle(ComHandleValue h) {
    if (h != kNullHandle && h != kInvalidHandle) Note("the port closed");
    return device_.CloseHandle(h);
}

bool WireTrace::SetCommState(ComHandleValue h, const Dcb& dcb) {
    if (dcb.BaudRate != rate_) Note("bit rate " + std::to_string(dcb.BaudRate));
    rate_ = dcb.BaudRate;
    return device_.SetCommState(h, dcb);
}

bool WireTrace::EscapeCommFunction(ComHandleValue h, Escape code) {
    static constexpr const char* kNames[] = {"", "", "", "RTS set", "RTS cleared", "DTR set (reset released)",
                                             "DTR cleared (reset held)"};
    Note(kNames[static_cast<int>(code)]);
    exchange_.clear();
    return device_.EscapeCommFunction(h, code);
}

bool WireTrace::PurgeReceive(ComHandleValue h) {
    std::uint8_t buf[256];
    while (const std::uint32_t waiting = device_.BytesWaiting(h)) {
        const std::size_t got = device_.Read(h, buf, std::min<std::size_t>(waiting, sizeof buf));
        if (got == 0) break;
        Bytes(false, buf, got, "discarded before the next command");
    }
    return true;
}

std::size_t WireTrace::Read(ComHandleValue h, std::uint8_t* buf, std::size_t n) {
    const std::size_t got = device_.Read(h, buf, n);
    if (got > 0) Bytes(false, buf, got);
    return got;
}

std::size_t WireTrace::Write(ComHandleValue h, const std::uint8_t* buf, std::size_t n) {
    if (n > 0) {
        command_ = buf[0];
        answer_.clear();
        Bytes(true, buf, n);
    }
    return device_.Write(h, buf, n);
}

void WireTrace::Bytes(bool sent, const std::uint8_t* bytes, std::size_t n, const char* why) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    line_ = Stamp();
    line_ += sent ? " tx " : " rx ";
    line_ += std::to_string(rate_);
    for (std::size_t i = 0; i < n; ++i) {
        line_ += ' ';
        line_ += kDigits[bytes[i] >> 4];
        line_ += kDigits[bytes[i] & 15];
    }
    if (!sent && answer_.size() < 16) answer_.insert(answer_.end(), bytes, bytes + std::min<std::size_t>(n, 16));
    if (why || !exchange_.empty()) {
        line_ += "  # ";
        line_ += exchange_;
        if (!sent && !exchange_.empty()) line_ += ": " + AnswerMeaning(command_, answer_);
        if (why) line_ += std::string(exchange_.empty() ? "" : "; ") + why;
    }
    line_ += '\n';
    sink_(line_);
}

}  // namespace h8sx
