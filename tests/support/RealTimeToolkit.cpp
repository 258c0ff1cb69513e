#include "tests/support/RealTimeToolkit.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <ctime>

namespace h8sx::test {

RealTimeToolkit::RealTimeToolkit(posix::PosixSerialDevice* device) : device(device), nextTick_(Clock::now() + kTick) {}

void RealTimeToolkit::Record(const std::string& event) {
    RecordingToolkit::Record(event);
    if (onEvent) onEvent(event);
}

void RealTimeToolkit::FireDueTick() {
    const auto now = Clock::now();
    if (now < nextTick_) return;
    nextTick_ += kTick;
    if (nextTick_ <= now) nextTick_ = now + kTick;
    if (form) form->Timer1Timer();
}

void RealTimeToolkit::SleepFor(Clock::duration d, int fd) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    const timespec timeout{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    pollfd p{fd, POLLIN, 0};
    ::ppoll(fd >= 0 ? &p : nullptr, fd >= 0 ? 1 : 0, &timeout, nullptr);
}

void RealTimeToolkit::WaitAndProcessMessages() {
    const auto now = Clock::now();
    const Clock::duration sleep = std::min<Clock::duration>(kMaxSleep, std::max(nextTick_ - now, Clock::duration::zero()));
    const int fd = device ? device->CurrentFd() : -1;
    int waiting = 0;
    if (fd >= 0 && ::ioctl(fd, FIONREAD, &waiting) != 0) waiting = 0;
    const auto count = static_cast<std::uint32_t>(std::max(waiting, 0));

    if (sleep > Clock::duration::zero()) {
        if (fd >= 0 && count == 0) {
            SleepFor(sleep, fd);  // woken by the first byte
        } else if (fd < 0 || count == lastWaiting_) {
            // Bytes wait, too few for the caller: the port would wake us at once, every
            // time. Sleep instead; a byte that comes meanwhile is seen within the sleep.
            SleepFor(sleep, -1);
        }
        // Otherwise more bytes came since the last pass: back to the caller at once.
    }
    lastWaiting_ = count;
    FireDueTick();
}

void RealTimeToolkit::Idle(std::chrono::milliseconds duration, const std::function<bool()>& done) {
    const auto end = Clock::now() + duration;
    while (Clock::now() < end && !(done && done())) WaitAndProcessMessages();
}

}  // namespace h8sx::test
