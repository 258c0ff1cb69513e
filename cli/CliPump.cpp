#include "cli/CliPump.h"

#include <algorithm>

#include "cli/System.h"
#include "serial/ComLink.h"

namespace h8sx::cli {

namespace {
// A wait for more bytes than have come looks at the port this often.
constexpr std::chrono::microseconds kPortPoll{1000};
}  // namespace

CliPump::CliPump(std::function<int()> waitDescriptor, std::function<bool()> failed)
    : waitDescriptor_(std::move(waitDescriptor)), failed_(std::move(failed)) {}

bool CliPump::StopRequested() { return cli::StopRequested() || failed_(); }

void CliPump::FireDueTick() {
    const auto now = Clock::now();
    if (now < nextTick_) return;
    nextTick_ += kTick;
    if (nextTick_ <= now) nextTick_ = now + kTick;
    if (onTick) onTick();
}

// Sleeps until a byte comes, the next tick is due or a stop is asked for (once: the
// board's restart after a stop still waits its ticks asleep). While bytes the caller has
// seen wait unread (it wants more), the port would wake the sleep at once, so it is
// looked at every millisecond instead; new bytes return to the caller at once. A port
// that offers nothing to wait on is looked at every millisecond too.
void CliPump::WaitAndProcessMessages() {
    const auto untilTick = std::chrono::duration_cast<std::chrono::microseconds>(nextTick_ - Clock::now());
    // A port that has gone away wakes every sleep on it at once: the sleep is the tick's.
    const bool portOpen =
        link && link->ComHandle != kNullHandle && link->ComHandle != kInvalidHandle && !link->Lost();
    const std::uint32_t waiting = portOpen ? link->BytesWaiting() : 0;
    if (waiting == 0 || waiting == lastWaiting_) {
        const int fd = portOpen && waiting == 0 ? waitDescriptor_() : -1;
        auto sleep = untilTick;
        if (portOpen && fd < 0) sleep = std::min(sleep, kPortPoll);
        Sleep(fd, sleep, watchInput, waker_);
    }
    lastWaiting_ = waiting;
    FireDueTick();
}

}  // namespace h8sx::cli
