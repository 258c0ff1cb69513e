// The command line's message pump: no windows, so a wait sleeps on the port (and on
// standard input where the monitor reads keys) and fires the 100 ms tick from the
// monotonic clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "cli/System.h"
#include "serial/Pump.h"

namespace h8sx {
class ComLink;
}

namespace h8sx::cli {

class CliPump final : public Pump {
   public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kTick{100};

    // `waitDescriptor`: the open port's descriptor to sleep on (-1: none); `failed`: an
    // output that cannot be written ends the command as a stop does.
    CliPump(std::function<int()> waitDescriptor, std::function<bool()> failed);

    ComLink* link = nullptr;       // the port the waits watch
    std::function<void()> onTick;  // the 100 ms tick
    bool watchInput = false;       // a sleep also wakes on standard input

    void ProcessMessages() override { FireDueTick(); }
    void WaitAndProcessMessages() override;
    bool StopRequested() override;

   private:
    // Fires the tick when its time has come; a tick late by more than an interval is not
    // caught up, as a window timer's is not.
    void FireDueTick();

    std::function<int()> waitDescriptor_;
    StopWaker waker_;
    std::function<bool()> failed_;
    Clock::time_point nextTick_ = Clock::now() + kTick;
    std::uint32_t lastWaiting_ = 0;
};

}  // namespace h8sx::cli
