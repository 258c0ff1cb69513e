// The one serial port of the process and the three ways of waiting on it.
//
// Time moves only through the 100 ms tick, which counts `TickCount` down; every wait
// loads the count and pumps window messages until its byte has come or the count is 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "serial/Pump.h"
#include "serial/SerialDevice.h"
#include "serial/WireNotes.h"

namespace h8sx {

// Driver queue sizes asked for at every open.
inline constexpr std::uint32_t kQueueSize = 50000;
// A wait zero-fills and scans this many leading positions of its buffer.
inline constexpr std::size_t kScanLength = 20;

class ComLink {
public:
    ComLink(SerialDevice& device, Pump& pump, std::int32_t& tickCount)
        : device_(device), pump_(pump), TickCount(tickCount) {}

    ComHandleValue ComHandle = kNullHandle;
    Dcb ComDcb{};

    // Closes whatever ComHandle holds and opens `name` in its place; false when the open
    // failed (ComHandle then holds kInvalidHandle, and LastOpenError says why).
    bool ReplaceHandle(const std::string& name);
    OpenError LastOpenError() const { return device_.LastOpenError(); }
    // Reads the driver's settings into ComDcb, sets the rate and 8N1, applies them and
    // asks for the queue sizes. Results are ignored: on a dead handle nothing happens.
    void Configure(std::uint32_t bitRate);
    // Applies ComDcb as it stands.
    void ApplyDcb();

    void PurgeReceive();
    void SendBytes(const std::uint8_t* bytes, std::size_t n);
    void SendBytes(std::span<const std::uint8_t> bytes) { SendBytes(bytes.data(), bytes.size()); }
    void EscapeCommFunction(Escape code);
    std::uint32_t BytesWaiting();
    std::size_t Read(std::uint8_t* buf, std::size_t n);

    // Who is told what the bytes are (a trace); nobody unless a client asks.
    WireNotes* notes = nullptr;
    bool Traced() const { return notes != nullptr; }
    void Exchange(const std::string& what) {
        if (notes) notes->Exchange(what);
    }
    void Note(const std::string& text) {
        if (notes) notes->Note(text);
    }

    // The pump every wait runs; it also says whether the client asked to stop.
    Pump& pump() { return pump_; }

    // The port has gone away under its handle (SerialDevice::Lost).
    bool Lost() { return device_.Lost(ComHandle); }
    // Whether the waits end early: a stop asked for, or the port gone where the client
    // asked for that (`endWaitsWhenLost`; the windows wait their ticks out and show the
    // time-out).
    bool Interrupted() { return pump_.StopRequested() || (endWaitsWhenLost && Lost()); }
    bool endWaitsWhenLost = false;

    // TickCount := n, then pump until it is 0. n = 0 returns at once.
    void WaitTicks(std::int32_t n);

    // Waits up to n ticks for the byte `awaited`. A read happens only when more than
    // `threshold` bytes wait; before it `buffer` is zeroed, and after it its first 20
    // positions are all scanned. Without an awaited byte any read counts, at 0.
    // Returns the position found, or nothing on time-out. `onRead`, where given, sees each
    // read's bytes that did not hold the awaited one, and ends the wait by returning true.
    std::optional<std::size_t> AwaitBootResponse(
        std::span<std::uint8_t> buffer, std::int32_t n, std::uint32_t threshold, std::optional<std::uint8_t> awaited,
        const std::function<bool(std::span<const std::uint8_t>)>& onRead = {});

    // Waits up to n ticks for at least one byte and reads what waits into `buffer`.
    // True when something was read.
    bool AwaitReply(std::span<std::uint8_t> buffer, std::int32_t n);

    // Waits up to n ticks until `buffer` is full, reading the bytes as they come and never
    // more than it holds; the rest stays queued. Returns how many were read: fewer on
    // time-out or a stop.
    std::size_t AwaitBytes(std::span<std::uint8_t> buffer, std::int32_t n);

private:
    std::size_t ReadIntoZeroed(std::span<std::uint8_t> buffer, std::uint32_t waiting);

    SerialDevice& device_;
    Pump& pump_;

public:
    // The main window's countdown, shared by every wait and counted down by the tick.
    std::int32_t& TickCount;
};

}  // namespace h8sx
