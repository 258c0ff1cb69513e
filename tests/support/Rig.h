// A whole writer on a virtual clock: the core's forms, the in-process virtual board on
// COM1, and a toolkit whose message pump moves time forward and fires the 100 ms tick.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/Platform.h"
#include "app/TForm1.h"
#include "monitor/TForm2.h"
#include "sim/Board.h"
#include "sim/VirtualLink.h"
#include "tests/support/RecordingToolkit.h"

namespace h8sx::test {

// Thrown by the test platform where the program would end.
struct ProgramExited {};

class VirtualToolkit : public RecordingToolkit {
public:
    explicit VirtualToolkit(std::uint64_t& clock) : clock_(clock) {}

    TForm1* form = nullptr;
    sim::VirtualLink* link = nullptr;
    // Run at every tick besides the form's (a client without a main window has its own).
    std::function<void()> onTick;
    // From this time on, the pump says that a stop was asked for (Ctrl-C at the command line).
    std::uint64_t stopAt = ~std::uint64_t{0};
    bool StopRequested() override { return clock_ >= stopAt; }

    // The first tick comes this long after the start; the rest every 100 ms.
    std::uint64_t nextTick = 100'000;
    static constexpr std::uint64_t kTickMicros = 100'000;
    // How far one pass of a wait's pump, and one plain ProcessMessages, moves the clock.
    std::uint64_t waitStep = 1'000;
    std::uint64_t pumpStep = 100;

    // Something the operator does at a given time (a click), run from the message pump.
    void At(std::uint64_t micros, std::function<void()> action) { actions_.emplace(micros, std::move(action)); }
    // From now on, runs `step` every millisecond until it returns true: the board's side
    // of an exchange played by hand, waiting for what the writer sends.
    void Every1ms(std::function<bool()> step);

    std::vector<std::uint64_t> eventTimes;  // the clock at each event
    // When an event was first recorded; the end of time when never.
    std::uint64_t TimeOf(const std::string& event) const;
    std::string LastStatus() const { return form ? form->StatusText() : std::string(); }
    int pumpCalls = 0;

    void ProcessMessages() override { Advance(pumpStep); }
    void WaitAndProcessMessages() override { Advance(waitStep); }

    // Moves the clock by `micros`, firing ticks and due actions on the way.
    void Advance(std::uint64_t micros);
    // Runs the message pump (ticks, actions) until `micros` have passed.
    void Idle(std::uint64_t micros);

protected:
    void Record(const std::string& event) override {
        RecordingToolkit::Record(event);
        eventTimes.push_back(clock_);
    }

private:
    void RunDue();
    void EveryFrom(std::uint64_t at, std::function<bool()> step);
    std::uint64_t& clock_;
    std::multimap<std::uint64_t, std::function<void()>> actions_;
};

class TestPlatform : public Platform {
public:
    std::filesystem::path dir;
    std::string ExecutableDirectory() override { return dir.string() + "/"; }
    void ExitNow() override { throw ProgramExited{}; }
    std::FILE* OpenFile(const std::string& path, const char* mode) override { return std::fopen(path.c_str(), mode); }
};

// A fresh temporary directory that is removed afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path Write(const std::string& name, const std::string& content) const;

private:
    std::filesystem::path path_;
};

// Board options with one fault switched on.
inline sim::BoardOptions SilentAt(sim::Stage stage) {
    sim::BoardOptions o;
    o.silentAt = stage;
    return o;
}

struct Rig {
    explicit Rig(sim::BoardOptions options = {});

    std::uint64_t clock = 0;
    sim::Board board;
    sim::VirtualLink link{board, clock};
    VirtualToolkit toolkit{clock};
    TempDir dir;
    TestPlatform platform;
    TForm1 form1{link, toolkit, platform};
    TForm2 form2{form1};

    // Opens COM1 as start-up does with a settings file (no report of a failed open).
    void OpenStartupPort();
    // Runs `fn` as the handler of a click; ProgramExited is caught and reported.
    bool ClickExits(const std::function<void()>& fn);
    double Seconds() const { return clock / 1e6; }
};

}  // namespace h8sx::test
