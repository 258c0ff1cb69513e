// A toolkit without windows on the real clock, for end-to-end runs on POSIX: the 100 ms
// tick comes from the monotonic clock, and a wait sleeps on the open port the way a front
// end's message pump does (woken by a received byte, the next tick, or after ~1 ms).
// Like the virtual-time toolkit, it records what the operator would see and hear.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "app/TForm1.h"
#include "platform/posix/PosixSerial.h"
#include "tests/support/RecordingToolkit.h"

namespace h8sx::test {

class RealTimeToolkit : public RecordingToolkit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kTick{100};
    // The longest a wait sleeps while nothing happens.
    static constexpr std::chrono::microseconds kMaxSleep{1000};

    explicit RealTimeToolkit(posix::PosixSerialDevice* device = nullptr);

    TForm1* form = nullptr;
    posix::PosixSerialDevice* device = nullptr;

    // Called with every event as it is recorded (a forked child passes them on this way).
    std::function<void(const std::string&)> onEvent;

    void ProcessMessages() override { FireDueTick(); }
    void WaitAndProcessMessages() override;

    // Runs the message pump, ticks included, for `duration` (or until `done` holds).
    void Idle(std::chrono::milliseconds duration, const std::function<bool()>& done = {});

protected:
    void Record(const std::string& event) override;

private:
    // Fires Timer1Timer when its time has come. A tick that is late by more than a whole
    // interval is not caught up: like a window timer, the next one is an interval later.
    void FireDueTick();
    void SleepFor(Clock::duration d, int fd);

    Clock::time_point nextTick_;
    std::uint32_t lastWaiting_ = 0;
};

}  // namespace h8sx::test
