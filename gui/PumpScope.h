// Shared by the front ends: how deep the core's message pumps (and the open dialog's
// loop) are nested. Above 0, a handler of the core is running under the current event,
// and closing the main window must end the program instead of returning to it.
#pragma once

namespace h8sx {

// Counts one more pump for as long as it lives.
class PumpScope {
public:
    explicit PumpScope(int& depth) : depth_(depth) { ++depth_; }
    ~PumpScope() { --depth_; }
    PumpScope(const PumpScope&) = delete;
    PumpScope& operator=(const PumpScope&) = delete;

private:
    int& depth_;
};

}  // namespace h8sx
