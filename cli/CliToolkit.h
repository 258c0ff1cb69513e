// The core's Toolkit for the command line: no windows. Status and progress go to the
// Output, the monitor's text to a sink (standard output), the file chosen on the command
// line takes the open dialog's place, and the message pump sleeps on the port and fires
// the 100 ms tick from the monotonic clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/Toolkit.h"
#include "cli/Output.h"
#include "serial/SerialDevice.h"

namespace h8sx {
class TForm1;
}

namespace h8sx::cli {

class CliToolkit : public Toolkit {
   public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kTick{100};

    CliToolkit(SerialDevice& port, Output& out) : port_(port), out_(out), nextTick_(Clock::now() + kTick) {}

    TForm1* form = nullptr;
    std::optional<std::string> file;                      // what the open dialog answers
    std::function<void(const std::string&)> monitorText;  // where the board's text goes
    bool watchInput = false;                              // a sleep also wakes on standard input

    void ProcessMessages() override { FireDueTick(); }
    void WaitAndProcessMessages() override;
    void Beep() override {}
    void SetStatusText(const std::string& utf8) override;
    void SetProgress(int, int) override {}
    void SetPortButton(int) override {}
    void SetSoundBox(bool) override {}
    std::optional<std::string> RunOpenDialog() override { return file; }
    void ShowMonitorWindow() override {}
    void AppendMonitorText(const std::string& utf8) override {
        if (monitorText) monitorText(utf8);
    }
    void ClearMonitorText() override {}
    bool StopRequested() override;
    void BlockDone(std::uint32_t done, std::uint32_t total, bool skipped) override {
        out_.Progress(done, total, skipped);
    }

   private:
    // Fires Timer1Timer when its time has come; a tick late by more than an interval is
    // not caught up, as a window timer's is not.
    void FireDueTick();

    SerialDevice& port_;
    Output& out_;
    Clock::time_point nextTick_;
    std::uint32_t lastWaiting_ = 0;
};

}  // namespace h8sx::cli
