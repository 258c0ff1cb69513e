#include "tests/support/Rig.h"

#include <fstream>
#include <random>

namespace h8sx::test {

std::uint64_t VirtualToolkit::TimeOf(const std::string& event) const {
    for (std::size_t i = 0; i < events.size(); ++i)
        if (events[i] == event) return eventTimes[i];
    return ~std::uint64_t{0};
}

void VirtualToolkit::RunDue() {
    while (!actions_.empty() && actions_.begin()->first <= clock_) {
        auto action = std::move(actions_.begin()->second);
        actions_.erase(actions_.begin());
        action();
    }
}

void VirtualToolkit::Every1ms(std::function<bool()> step) { EveryFrom(clock_, std::move(step)); }

void VirtualToolkit::EveryFrom(std::uint64_t at, std::function<bool()> step) {
    At(at, [this, step = std::move(step)]() mutable {
        if (!step()) EveryFrom(clock_ + 1000, std::move(step));
    });
}

void VirtualToolkit::Advance(std::uint64_t micros) {
    ++pumpCalls;
    const std::uint64_t target = clock_ + micros;
    while (nextTick <= target) {
        clock_ = nextTick;
        nextTick += kTickMicros;
        if (link) link->Pump();
        if (form) form->Timer1Timer();
        if (onTick) onTick();
        RunDue();
    }
    clock_ = target;
    if (link) link->Pump();
    RunDue();
}

void VirtualToolkit::Idle(std::uint64_t micros) {
    const std::uint64_t end = clock_ + micros;
    while (clock_ < end) Advance(std::min<std::uint64_t>(waitStep, end - clock_));
}

TempDir::TempDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() / ("h8sx-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::Write(const std::string& name, const std::string& content) const {
    const auto p = path_ / name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
}

Rig::Rig(sim::BoardOptions options) : board(std::move(options)) {
    platform.dir = dir.path();
    toolkit.form = &form1;
    toolkit.link = &link;
    for (const char* name : {"COM2", "COM3", "COM4", "COM5", "COM6"}) link.AddPort(name, false);
}

void Rig::OpenStartupPort() { form1.OpenComPort(form1.SelectedPortName(), 19200); }

bool Rig::ClickExits(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ProgramExited&) {
        return true;
    }
    return false;
}

}  // namespace h8sx::test
