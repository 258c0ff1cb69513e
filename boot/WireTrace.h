// A trace of the line: a serial port that passes every call on to the real one and writes
// every byte each way, as it goes, in lines for a person to read and a program to parse:
//
//   SECONDS tx|rx RATE HEX HEX ...  # what the bytes are
//   # SECONDS a note (the port opened, a modem line, a rate, a decision of the write)
//
// SECONDS since the trace began, with microseconds; tx to the board, rx from it; RATE the
// bit rate in force; one line for each write (a 128-byte block is one line) and for each read.
// Behind '#' the exchange the core said the bytes belong to and, for what came back, what
// the answer means. The core tells the exchanges through WireNotes; the lines go to a sink
// the client gives (a file it flushes after every line), so the core writes no file.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "serial/SerialDevice.h"
#include "serial/WireNotes.h"

namespace h8sx {

class WireTrace final : public SerialDevice, public WireNotes {
public:
    // Takes one whole line, its line end included.
    using Sink = std::function<void(const std::string& line)>;
    WireTrace(SerialDevice& device, Sink sink);

    ComHandleValue CreateFile(const std::string& name) override;
    OpenError LastOpenError() const override { return device_.LastOpenError(); }
    bool CloseHandle(ComHandleValue h) override;
    bool GetCommState(ComHandleValue h, Dcb& dcb) override { return device_.GetCommState(h, dcb); }
    bool SetCommState(ComHandleValue h, const Dcb& dcb) override;
    bool SetupComm(ComHandleValue h, std::uint32_t in, std::uint32_t out) override {
        return device_.SetupComm(h, in, out);
    }
    // What waits is read and traced as discarded: every byte that came is in the trace.
    bool PurgeReceive(ComHandleValue h) override;
    std::uint32_t BytesWaiting(ComHandleValue h) override { return device_.BytesWaiting(h); }
    std::size_t Read(ComHandleValue h, std::uint8_t* buf, std::size_t n) override;
    std::size_t Write(ComHandleValue h, const std::uint8_t* buf, std::size_t n) override;
    bool EscapeCommFunction(ComHandleValue h, Escape code) override;
    bool Lost(ComHandleValue h) override { return device_.Lost(h); }

    void Exchange(const std::string& what) override;
    void Note(const std::string& text) override;

private:
    void Bytes(bool sent, const std::uint8_t* bytes, std::size_t n, const char* why = nullptr);
    std::string Stamp();

    SerialDevice& device_;
    Sink sink_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::uint32_t rate_ = 0;
    std::string exchange_;               // what the core said the bytes are
    std::uint8_t command_ = 0;           // the first byte of the last write
    std::vector<std::uint8_t> answer_;   // what came since, for its meaning
    std::string line_;                   // kept: a line is made without allocating
};

}  // namespace h8sx
