// A toolkit without windows on the real clock, for end-to-end runs on POSIX: the 100 ms
// tick comes from the monotonic clock, and a wait sleeps on the open port the way a front
// end's message pump does (woken by a received byte, the next tick, or after ~1 ms).
// It records what the operator would see and hear, as VirtualToolkit does.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include "app/TForm1.h"
#include "app/Toolkit.h"
#include "platform/posix/PosixSerial.h"

namespace h8sx::test {

class RealTimeToolkit : public Toolkit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kTick{100};
    // The longest a wait sleeps while nothing happens.
    static constexpr std::chrono::microseconds kMaxSleep{1000};

    explicit RealTimeToolkit(posix::PosixSerialDevice* device = nullptr);

    TForm1* form = nullptr;
    posix::PosixSerialDevice* device = nullptr;

    // What the operator saw and heard, in order: "status:<text>" and "beep".
    std::vector<std::string> events;
    std::vector<std::string> Statuses() const;
    int Beeps() const;
    // Called with every event as it is recorded (a forked child passes them on this way).
    std::function<void(const std::string&)> onEvent;

    std::vector<std::pair<int, int>> progress;
    std::queue<std::optional<std::string>> dialogAnswers;  // next RunOpenDialog results
    int dialogs = 0;
    int monitorShown = 0;
    std::string monitorText = "\n";

    // Figures for benchmarks: passes of the waits' pump, how they slept, ticks fired.
    struct Counters {
        long waits = 0;        // WaitAndProcessMessages calls
        long portSleeps = 0;   // slept in poll() on the port
        long blindSleeps = 0;  // slept without the port: bytes wait, their count unchanged
        long ticks = 0;
    } counters;

    void ProcessMessages() override { FireDueTick(); }
    void WaitAndProcessMessages() override;
    void Beep() override { Record("beep"); }
    void SetStatusText(const std::string& t) override { Record("status:" + t); }
    void SetProgress(int position, int maximum) override { progress.emplace_back(position, maximum); }
    void SetPortButton(int index) override { Record("port:" + std::to_string(index)); }
    void SetSoundBox(bool ticked) override { Record(ticked ? "sound:on" : "sound:off"); }
    std::optional<std::string> RunOpenDialog() override;
    void ShowMonitorWindow() override { ++monitorShown; }
    void AppendMonitorText(const std::string& t) override { monitorText += t; }
    void ClearMonitorText() override { monitorText.clear(); }

    // Runs the message pump, ticks included, for `duration` (or until `done` holds).
    void Idle(std::chrono::milliseconds duration, const std::function<bool()>& done = {});

private:
    void Record(const std::string& event);
    // Fires Timer1Timer when its time has come. A tick that is late by more than a whole
    // interval is not caught up: like a window timer, the next one is an interval later.
    void FireDueTick();
    void SleepFor(Clock::duration d, int fd);

    Clock::time_point nextTick_;
    std::uint32_t lastWaiting_ = 0;
};

}  // namespace h8sx::test
