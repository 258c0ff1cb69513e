#include "sim/VirtualLink.h"

#include <algorithm>
#include <limits>

namespace h8sx::sim {

namespace {
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
}

VirtualLink::VirtualLink(Board& board, const std::uint64_t& clock) : board_(board), clock_(clock) {
    AddPort("COM1");
}

void VirtualLink::AddPort(const std::string& name, bool wiredToBoard) { ports_[name].wired = wiredToBoard; }

void VirtualLink::SetHeldElsewhere(const std::string& name, bool held) { ports_[name].held = held; }

void VirtualLink::Unplug() {
    if (openHandle_ == kNullHandle) return;
    unplugged_ = true;
    ports_.erase(openName_);
}

void VirtualLink::SetDenied(const std::string& name, bool denied) { ports_[name].denied = denied; }

bool VirtualLink::Wired() const {
    auto it = ports_.find(openName_);
    return openHandle_ != kNullHandle && it != ports_.end() && it->second.wired;
}

void VirtualLink::DrainOutbox() {
    for (const Board::Out& out : board_.Outbox()) {
        const std::uint64_t start = std::max(out.ready, toHostFree_);
        toHostFree_ = start + ByteMicros(out.rate);
        toHost_.push_back(InFlight{toHostFree_, out.byte, out.rate});
    }
    board_.Outbox().clear();
}

void VirtualLink::Pump() {
    const std::uint64_t now = clock_;
    for (;;) {
        DrainOutbox();
        const std::uint64_t tx = toBoard_.empty() ? kNever : toBoard_.front().at;
        const std::uint64_t ev = board_.NextEvent().value_or(kNever);
        const std::uint64_t t = std::min(tx, ev);
        if (t > now) break;
        if (tx <= ev) {
            const InFlight b = toBoard_.front();
            toBoard_.pop_front();
            board_.Receive(b.byte, b.rate, b.at);
        } else {
            board_.Advance(ev);
        }
    }
    while (!toHost_.empty() && toHost_.front().at <= now) {
        const InFlight b = toHost_.front();
        toHost_.pop_front();
        if (!Wired()) continue;
        // Received at the wrong rate, a byte turns into something else.
        received_.push_back(SameRate(b.rate, hostRate_) ? b.byte : static_cast<std::uint8_t>(b.byte ^ 0xA5));
    }
}

void VirtualLink::Inject(const std::vector<std::uint8_t>& bytes, std::uint64_t at) {
    for (std::uint8_t b : bytes) toHost_.push_back(InFlight{at, b, hostRate_});
    std::stable_sort(toHost_.begin(), toHost_.end(),
                     [](const InFlight& a, const InFlight& b) { return a.at < b.at; });
}

ComHandleValue VirtualLink::CreateFile(const std::string& name) {
    // The codes and words are those of a POSIX system.
    auto it = ports_.find(name);
    if (it == ports_.end())
        openError_ = {OpenError::Kind::Missing, 2, "No such file or directory"};
    else if (it->second.denied)
        openError_ = {OpenError::Kind::Denied, 13, "Permission denied"};
    else if (it->second.held || openHandle_ != kNullHandle)
        openError_ = {OpenError::Kind::Busy, 16, "Device or resource busy"};
    else
        openError_ = {};
    if (openError_.kind != OpenError::Kind::None) return kInvalidHandle;
    openHandle_ = nextHandle_++;
    openName_ = name;
    opened.push_back(name);
    received_.clear();
    return openHandle_;
}

bool VirtualLink::CloseHandle(ComHandleValue h) {
    if (!IsOpen(h)) return false;
    unplugged_ = false;
    openHandle_ = kNullHandle;
    openName_.clear();
    received_.clear();
    return true;
}

bool VirtualLink::GetCommState(ComHandleValue h, Dcb& dcb) {
    if (!Working(h)) return false;
    dcb.BaudRate = hostRate_;
    return true;
}

bool VirtualLink::SetCommState(ComHandleValue h, const Dcb& dcb) {
    if (!Working(h)) return false;
    Pump();
    hostRate_ = dcb.BaudRate;
    return true;
}

bool VirtualLink::SetupComm(ComHandleValue h, std::uint32_t, std::uint32_t) { return Working(h); }

bool VirtualLink::PurgeReceive(ComHandleValue h) {
    if (!Working(h)) return false;
    Pump();
    received_.clear();
    ++purges;
    return true;
}

std::uint32_t VirtualLink::BytesWaiting(ComHandleValue h) {
    if (!Working(h)) return 0;
    Pump();
    return static_cast<std::uint32_t>(received_.size());
}

std::size_t VirtualLink::Read(ComHandleValue h, std::uint8_t* buf, std::size_t n) {
    if (!Working(h)) return 0;
    Pump();
    const std::size_t k = std::min(n, received_.size());
    std::copy_n(received_.begin(), k, buf);
    received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(k));
    return k;
}

std::size_t VirtualLink::Write(ComHandleValue h, const std::uint8_t* buf, std::size_t n) {
    if (!Working(h)) return 0;
    Pump();
    for (std::size_t i = 0; i < n; ++i) {
        sent.push_back(buf[i]);
        sentRates.push_back(hostRate_);
        if (!Wired()) continue;
        toBoardFree_ = std::max<std::uint64_t>(clock_, toBoardFree_) + ByteMicros(hostRate_);
        toBoard_.push_back(InFlight{toBoardFree_, buf[i], hostRate_});
    }
    return n;
}

bool VirtualLink::EscapeCommFunction(ComHandleValue h, Escape code) {
    if (!Working(h)) return false;
    Pump();
    switch (code) {
        case Escape::SETDTR: dtr_ = true; break;
        case Escape::CLRDTR: dtr_ = false; break;
        case Escape::SETRTS: rts_ = true; break;
        case Escape::CLRRTS: rts_ = false; break;
    }
    lineChanges.push_back(LineChange{clock_, dtr_, rts_});
    if (Wired()) board_.SetLines(dtr_, rts_, clock_);
    return true;
}

}  // namespace h8sx::sim
