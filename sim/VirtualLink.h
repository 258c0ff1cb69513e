// The in-process link: a SerialDevice whose other end is a virtual board, on a clock the
// caller owns (microseconds). Bytes take their line time in both directions at the rate
// each side is set to, so a byte sent at a rate the other side is not listening at
// arrives garbled. Tests drive it in virtual time.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "serial/SerialDevice.h"
#include "sim/Board.h"

namespace h8sx::sim {

class VirtualLink : public SerialDevice {
public:
    VirtualLink(Board& board, const std::uint64_t& clock);

    // Ports that exist ("COM1" wired to the board unless told otherwise). A port held by
    // another program cannot be opened (Busy), nor one that refuses this user (Denied),
    // nor a name that is no port (Missing).
    void AddPort(const std::string& name, bool wiredToBoard = true);
    void SetHeldElsewhere(const std::string& name, bool held);
    void SetDenied(const std::string& name, bool denied);
    // The open port's adapter pulled out: every call on its handle fails, and Lost() says
    // so, until it is closed; the name is no port any more.
    void Unplug();

    // Brings the line and the board up to the clock.
    void Pump();

    // Bytes that arrive at the host at `at`, as if sent by the board at the host's rate.
    void Inject(const std::vector<std::uint8_t>& bytes, std::uint64_t at);

    // What a test looks at.
    struct LineChange {
        std::uint64_t at;
        bool dtr, rts;
    };
    std::vector<LineChange> lineChanges;
    std::vector<std::string> opened;           // every successful open, by name
    std::vector<std::uint8_t> sent;            // every byte the host wrote
    std::vector<std::uint32_t> sentRates;      // the rate each was written at
    std::uint32_t HostRate() const { return hostRate_; }
    bool Dtr() const { return dtr_; }
    bool Rts() const { return rts_; }
    std::size_t purges = 0;

    // SerialDevice
    ComHandleValue CreateFile(const std::string& name) override;
    OpenError LastOpenError() const override { return openError_; }
    bool CloseHandle(ComHandleValue h) override;
    bool GetCommState(ComHandleValue h, Dcb& dcb) override;
    bool SetCommState(ComHandleValue h, const Dcb& dcb) override;
    bool SetupComm(ComHandleValue h, std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool PurgeReceive(ComHandleValue h) override;
    std::uint32_t BytesWaiting(ComHandleValue h) override;
    std::size_t Read(ComHandleValue h, std::uint8_t* buf, std::size_t n) override;
    std::size_t Write(ComHandleValue h, const std::uint8_t* buf, std::size_t n) override;
    bool EscapeCommFunction(ComHandleValue h, Escape code) override;
    bool Lost(ComHandleValue h) override { return IsOpen(h) && unplugged_; }

private:
    struct Port {
        bool wired = true;
        bool held = false;
        bool denied = false;
    };
    struct InFlight {
        std::uint64_t at;
        std::uint8_t byte;
        std::uint32_t rate;
    };
    bool IsOpen(ComHandleValue h) const { return h != kNullHandle && h == openHandle_; }
    bool Working(ComHandleValue h) const { return IsOpen(h) && !unplugged_; }
    bool Wired() const;
    void DrainOutbox();

    Board& board_;
    const std::uint64_t& clock_;
    std::map<std::string, Port> ports_;
    ComHandleValue openHandle_ = kNullHandle;
    ComHandleValue nextHandle_ = 100;
    std::string openName_;
    OpenError openError_;
    std::uint32_t hostRate_ = 9600;
    bool dtr_ = false, rts_ = false;
    bool unplugged_ = false;
    std::deque<InFlight> toBoard_, toHost_;
    std::uint64_t toBoardFree_ = 0, toHostFree_ = 0;
    std::deque<std::uint8_t> received_;
};

// Line time of one byte (start, 8 data bits, stop) in microseconds.
inline std::uint64_t ByteMicros(std::uint32_t rate) { return rate ? 10'000'000ull / rate : 0; }

}  // namespace h8sx::sim
