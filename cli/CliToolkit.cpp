#include "cli/CliToolkit.h"

#include <algorithm>

#include "app/TForm1.h"
#include "cli/System.h"

namespace h8sx::cli {

namespace {
// A wait for more bytes than have come looks at the port this often.
constexpr std::chrono::microseconds kPortPoll{1000};
}  // namespace

bool CliToolkit::StopRequested() { return cli::StopRequested(); }

void CliToolkit::SetStatusText(const std::string& utf8) {
    // After a stop the waits end early: what they would show is no failure of the board.
    if (!cli::StopRequested()) out_.Status(utf8);
}

void CliToolkit::FireDueTick() {
    const auto now = Clock::now();
    if (now < nextTick_) return;
    nextTick_ += kTick;
    if (nextTick_ <= now) nextTick_ = now + kTick;
    if (form) form->Timer1Timer();
}

// Sleeps until a byte comes, the next tick is due or a stop is asked for (once: the
// board's restart after a stop still waits its ticks asleep). While bytes the
// caller has seen wait unread (it wants more), the port would wake the sleep at once, so
// it is looked at every millisecond instead; new bytes return to the caller at once.
void CliToolkit::WaitAndProcessMessages() {
    const auto untilTick = std::chrono::duration_cast<std::chrono::microseconds>(nextTick_ - Clock::now());
    const std::uint32_t waiting = form ? form->Link().BytesWaiting() : 0;
    const bool portOpen =
        form && form->Link().ComHandle != kNullHandle && form->Link().ComHandle != kInvalidHandle;
    if (untilTick.count() > 0) {
        if (waiting == 0 || waiting == lastWaiting_) {
            const bool wakeOnPort = waiting == 0 && portOpen && PortWakesSleep();
            auto sleep = untilTick;
            if (portOpen && !wakeOnPort) sleep = std::min(sleep, kPortPoll);
            Sleep(port_, sleep, wakeOnPort, watchInput);
        }
    }
    lastWaiting_ = waiting;
    FireDueTick();
}

}  // namespace h8sx::cli
