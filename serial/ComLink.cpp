#include "serial/ComLink.h"

#include <algorithm>

namespace h8sx {

bool ComLink::ReplaceHandle(const std::string& name) {
    // Closing first is what lets the port that is already open be opened again in spite
    // of the exclusive access.
    device_.CloseHandle(ComHandle);
    ComHandle = device_.CreateFile(name);
    return ComHandle != kInvalidHandle;
}

void ComLink::Configure(std::uint32_t bitRate) {
    device_.GetCommState(ComHandle, ComDcb);
    ComDcb.BaudRate = bitRate;
    ComDcb.ByteSize = 8;
    ComDcb.Parity = NOPARITY;
    ComDcb.StopBits = ONESTOPBIT;
    device_.SetCommState(ComHandle, ComDcb);
    device_.SetupComm(ComHandle, kQueueSize, kQueueSize);
}

void ComLink::ApplyDcb() { device_.SetCommState(ComHandle, ComDcb); }

void ComLink::PurgeReceive() { device_.PurgeReceive(ComHandle); }

void ComLink::SendBytes(const std::uint8_t* bytes, std::size_t n) { device_.Write(ComHandle, bytes, n); }

void ComLink::EscapeCommFunction(Escape code) { device_.EscapeCommFunction(ComHandle, code); }

std::uint32_t ComLink::BytesWaiting() { return device_.BytesWaiting(ComHandle); }

std::size_t ComLink::Read(std::uint8_t* buf, std::size_t n) {
    return n == 0 ? 0 : device_.Read(ComHandle, buf, n);
}

void ComLink::WaitTicks(std::int32_t n) {
    TickCount = n;
    while (TickCount != 0) pump_.WaitAndProcessMessages();
}

std::size_t ComLink::ReadIntoZeroed(std::span<std::uint8_t> buffer, std::uint32_t waiting) {
    // The whole buffer, not only the 20 positions scanned: a position this read does not
    // fill holds 0, never a byte of an earlier read (the device code can lie past 20).
    std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
    // Never more than the buffer holds; the rest stays queued for the next read.
    return Read(buffer.data(), std::min<std::size_t>(waiting, buffer.size()));
}

std::optional<std::size_t> ComLink::AwaitBootResponse(
    std::span<std::uint8_t> buffer, std::int32_t n, std::uint32_t threshold, std::optional<std::uint8_t> awaited,
    const std::function<bool(std::span<const std::uint8_t>)>& onRead) {
    TickCount = n;
    while (TickCount != 0 && !Interrupted()) {
        const std::uint32_t waiting = BytesWaiting();
        if (waiting > threshold) {
            const std::size_t got = ReadIntoZeroed(buffer, waiting);
            if (!awaited) return 0;
            // All 20 positions are scanned, also those the read left at zero.
            const std::size_t scan = std::min(kScanLength, buffer.size());
            for (std::size_t p = 0; p < scan; ++p)
                if (buffer[p] == *awaited) return p;
            if (onRead && onRead(buffer.first(got))) return std::nullopt;
        }
        pump_.WaitAndProcessMessages();
    }
    return std::nullopt;
}

bool ComLink::AwaitReply(std::span<std::uint8_t> buffer, std::int32_t n) {
    TickCount = n;
    std::uint32_t waiting = BytesWaiting();
    std::fill_n(buffer.begin(), std::min(kScanLength, buffer.size()), std::uint8_t{0});
    while (waiting == 0) {
        waiting = BytesWaiting();
        pump_.WaitAndProcessMessages();
        if (TickCount == 0 || Interrupted()) return false;
    }
    Read(buffer.data(), std::min<std::size_t>(waiting, buffer.size()));
    return true;
}

std::size_t ComLink::AwaitBytes(std::span<std::uint8_t> buffer, std::int32_t n) {
    TickCount = n;
    std::size_t got = 0;
    while (got < buffer.size()) {
        if (const std::uint32_t waiting = BytesWaiting(); waiting > 0) {
            got += Read(buffer.data() + got, std::min<std::size_t>(waiting, buffer.size() - got));
            continue;
        }
        if (TickCount == 0 || Interrupted()) break;
        pump_.WaitAndProcessMessages();
    }
    return got;
}

}  // namespace h8sx
