#include "sim/PtyHost.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/posix/LineRate.h"

namespace h8sx::sim {

namespace {

// While nobody has the terminal end open (and no notification of an open can wake us),
// look again this often.
constexpr std::uint64_t kIdleProbeMicros = 5'000;
// After a hang-up that the notifications have not explained yet, look again this soon.
constexpr std::uint64_t kHangUpProbeMicros = 1'000;
// Bytes garble this way when the two ends disagree on the rate.
constexpr std::uint8_t kGarble = 0xA5;

// A USB adapter sends what it has gathered in packets of this many bytes.
constexpr std::size_t kPacketBytes = 62;

// Paced, a byte takes the line for its 10 bits at `rate` once the line is free and the
// byte is there (`from`, in microseconds). The line's time is kept in nanoseconds, so that
// a rate whose byte time is no whole number of microseconds keeps its true pace. Returns
// when the byte has crossed, in microseconds.
std::uint64_t Occupy(std::uint64_t& freeNanos, std::uint64_t from, std::uint32_t rate) {
    const std::uint64_t byteNanos = rate ? 10'000'000'000ull / rate : 0;
    freeNanos = std::max(from * 1000, freeNanos) + byteNanos;
    return (freeNanos + 999) / 1000;
}

std::string Hex(std::uint8_t b) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[b >> 4], kDigits[b & 15]};
}

}  // namespace

PtyHost::PtyHost(Board& board, PtyHostOptions options)
    : board_(board),
      options_(options),
      noiseToBoard_(options.bitErrorRate, options.noiseSeed),
      noiseToHost_(options.bitErrorRate, options.noiseSeed + 1) {
    if (options_.epoch == 0) options_.epoch = Clock();
    // The host writes the log as it goes; a long session must not pile it up in memory.
    board_.Options().keepLog = false;
    board_.Options().onLog = [this](const LogEntry& e) { LogBoardEntry(e); };
}

PtyHost::~PtyHost() {
    board_.Options().onLog = nullptr;
    if (notify_ >= 0) ::close(notify_);
    if (master_ >= 0) ::close(master_);
}

std::uint64_t PtyHost::Clock() {
    const auto t = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(t).count());
}

std::uint64_t PtyHost::Now() const { return Clock() - options_.epoch; }

bool PtyHost::Open(std::string& error) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error = std::string("no pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ::ptsname(master_);
    if (name == nullptr) {
        error = std::string("no name for the pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    terminalPath_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);

    // Open the terminal end once ourselves: it starts raw (a terminal program that does
    // not set it up still sees the board's bytes as they are), and its close leaves the
    // master in the hung-up state that says nobody is there.
    const int term = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (term < 0) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        return false;
    }
    termios t{};
    if (::tcgetattr(term, &t) == 0) {
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        ::tcsetattr(term, TCSANOW, &t);
    }
    ::close(term);

#ifdef __linux__
    notify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify_ >= 0 && ::inotify_add_watch(notify_, name, IN_OPEN | IN_CLOSE) < 0) {
        ::close(notify_);
        notify_ = -1;
    }
#endif
    LogEvent(Now(), std::string("board on ") + terminalPath_);
    return true;
}

std::uint32_t PtyHost::HostSendRate() const {
    std::uint32_t send = 0, receive = 0;
    return posix::ReadLineRates(master_, send, receive) ? send : 0;
}

std::uint32_t PtyHost::HostListenRate() const {
    std::uint32_t send = 0, receive = 0;
    return posix::ReadLineRates(master_, send, receive) ? receive : 0;
}

void PtyHost::Step(std::uint64_t now) {
    TrackOpeners(now);
    ReadFromHost(now);
    // An opener that came before these bytes is known by now: if it came after the board
    // was last looked at, the reset goes before them, and they are its first bytes.
    TrackOpeners(now);
    DeliverToBoard(now);
    QueueBoardOutput();
    WriteToHost(now);
}

#ifdef __linux__
void PtyHost::ReadNotifications(std::vector<std::uint32_t>& events) {
    alignas(inotify_event) std::array<char, 4096> buf;
    for (;;) {
        const ssize_t n = ::read(notify_, buf.data(), buf.size());
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            inotify_event e;
            std::memcpy(&e, buf.data() + at, sizeof e);
            at += static_cast<ssize_t>(sizeof e + e.len);
            events.push_back(e.mask);
        }
    }
}
#endif

void PtyHost::TrackOpeners(std::uint64_t now) {
    bool reopened = false;
#ifdef __linux__
    if (notify_ >= 0) {
        // Opens and closes in the order they happened.
        std::vector<std::uint32_t> events;
        ReadNotifications(events);
        const auto openAfter = [&events](std::size_t i) {
            return std::any_of(events.begin() + static_cast<std::ptrdiff_t>(i) + 1, events.end(),
                               [](std::uint32_t m) { return (m & IN_OPEN) != 0; });
        };
        for (std::size_t i = 0; i < events.size(); ++i) {
            const std::uint32_t mask = events[i];
            if (mask & IN_Q_OVERFLOW) {
                openers_ = -1;  // lost count: the hang-up state decides below
            } else if (mask & IN_OPEN) {
                if (openers_ >= 0 && openers_++ == 0) reopened = true;
            } else if ((mask & IN_CLOSE) && openers_ > 0 && --openers_ == 0 && !openAfter(i)) {
                // The last one has gone. What it sent before it went is still waiting to
                // be read, and on a real line it would have reached the board before any
                // reset that follows: hand it over first. Unless a new opener has come
                // meanwhile: then the bytes may be its first ones, which matter more (a
                // board that starts on the first byte), and they wait for its reset.
                ReadFromHost(now);
                ReadNotifications(events);
                if (!openAfter(i)) DeliverToBoard(now);
            }
        }
    }
#endif
    pollfd p{master_, POLLIN, 0};
    ::poll(&p, 1, 0);
    hangUp_ = (p.revents & POLLHUP) != 0;
    if (notify_ >= 0 && openers_ >= 0) {
        hostThere_ = openers_ > 0;
    } else {
        if (openers_ < 0) openers_ = hangUp_ ? 0 : 1;
        if (!hangUp_ && !hostThere_) reopened = true;
        hostThere_ = !hangUp_;
    }

    if (reopened) {
        // Whatever waits in toBoard_ was read during this look and kept for the opener.
        board_.PortReopened(now);
        toHost_.clear();
        toBoardFreeNanos_ = toHostFreeNanos_ = now * 1000;
        writeBlocked_ = false;
    }
}

void PtyHost::ReadFromHost(std::uint64_t now) {
    std::array<std::uint8_t, 4096> buf;
    for (;;) {
        const ssize_t n = ::read(master_, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // EAGAIN: nothing more; EIO: nobody at the other end
        // The rate the host has set now is the rate these bytes went out at.
        const std::uint32_t rate = HostSendRate();
        for (ssize_t i = 0; i < n; ++i) {
            std::uint64_t at = now;
            if (options_.pace) at = Occupy(toBoardFreeNanos_, now, rate);
            toBoard_.push_back(InFlight{at, buf[static_cast<std::size_t>(i)], rate, noiseToBoard_.Flips()});
        }
    }
}

void PtyHost::DeliverToBoard(std::uint64_t now) {
    // The board's work takes no time, so a byte still on its way can be handed over at
    // once, stamped with the time it arrives: what the board answers is written out at
    // the times that follow from the stamps, not before. Paced, that keeps the wake-ups
    // to one per burst instead of one per byte. The board's own timed work (the erase)
    // is done in order among the bytes, and on its own only once its time has come.
    for (;;) {
        const std::optional<std::uint64_t> event = board_.NextEvent();
        const bool bytes = !toBoard_.empty();
        if (event && (bytes ? *event < toBoard_.front().at : *event <= now)) {
            board_.Advance(*event);
            continue;
        }
        if (!bytes) return;
        const InFlight b = toBoard_.front();
        toBoard_.pop_front();
        const std::uint8_t arrived = b.byte ^ b.flips;
        if (b.flips) LogEvent(b.at, "noise: host>board " + Hex(b.byte) + " arrives as " + Hex(arrived));
        board_.Receive(arrived, b.rate, b.at);
    }
}

void PtyHost::QueueBoardOutput() {
    for (const Board::Out& out : board_.Outbox()) {
        std::uint64_t at = out.ready;
        if (options_.pace) at = Occupy(toHostFreeNanos_, out.ready, out.rate);
        toHost_.push_back(InFlight{at, out.byte, out.rate, noiseToHost_.Flips()});
    }
    board_.Outbox().clear();
}

void PtyHost::WriteToHost(std::uint64_t now) {
    if (!hostThere_) {
        // Nobody listens: what the board sends is lost on the line, and must not wait in
        // the terminal's queue for the next program that opens it.
        std::size_t dropped = 0;
        while (!toHost_.empty() && toHost_.front().at <= now) toHost_.pop_front(), ++dropped;
        if (dropped) LogEvent(now, std::to_string(dropped) + " bytes lost: the port is not open");
        return;
    }
    const std::size_t due = DueToHost(now);
    if (due == 0) return;
    const std::uint32_t listening = HostListenRate();
    std::vector<std::uint8_t> bytes(due);
    for (std::size_t i = 0; i < due; ++i) {
        const InFlight& b = toHost_[i];
        // Received at a rate other than it was sent at, a byte turns into something else.
        bytes[i] = SameRate(b.rate, listening) ? b.byte : static_cast<std::uint8_t>(b.byte ^ kGarble);
        bytes[i] ^= b.flips;
    }
    std::size_t written = 0;
    while (written < due) {
        const ssize_t n = ::write(master_, bytes.data() + written, due - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    writeBlocked_ = written < due;
    for (std::size_t i = 0; i < written; ++i) {
        const InFlight& b = toHost_[i];
        std::string text = Hex(b.byte) + " " + std::to_string(b.rate);
        if (!SameRate(b.rate, listening))
            text += " garbled (host listens at " + std::to_string(listening) + ", reads " + Hex(bytes[i]) + ")";
        else if (b.flips)
            text += " noise (the host reads " + Hex(bytes[i]) + ")";
        LogLine(b.at, "board>host", text);
    }
    toHost_.erase(toHost_.begin(), toHost_.begin() + static_cast<std::ptrdiff_t>(written));
}

std::size_t PtyHost::DueToHost(std::uint64_t now) const {
    std::size_t due = 0;
    while (due < toHost_.size() && toHost_[due].at <= now) ++due;
    // Held in the adapter: whole packets go, the rest once the latency timer, started by
    // the first of them, runs out.
    if (options_.latencyMicros && due > 0 && now < toHost_.front().at + options_.latencyMicros)
        due -= due % kPacketBytes;
    return due;
}

std::optional<std::uint64_t> PtyHost::NextDue() const {
    std::optional<std::uint64_t> next = board_.NextEvent();
    const auto consider = [&next](std::uint64_t t) { next = next ? std::min(*next, t) : t; };
    if (!toBoard_.empty()) consider(toBoard_.front().at);
    if (!toHost_.empty() && !writeBlocked_) {
        if (!options_.latencyMicros) {
            consider(toHost_.front().at);
        } else {
            consider(toHost_.front().at + options_.latencyMicros);
            if (toHost_.size() >= kPacketBytes) consider(toHost_[kPacketBytes - 1].at);
        }
    }
    return next;
}

void PtyHost::PrepareSleep(std::uint64_t now, std::vector<pollfd>& fds, std::optional<std::uint64_t>& wake) const {
    if (notify_ >= 0) fds.push_back(pollfd{notify_, POLLIN, 0});
    // While nobody is there the master reports its hang-up at once, every time: it is
    // left out, and the notifications (or a short time-out) say when someone comes.
    if (hostThere_ && !hangUp_)
        fds.push_back(pollfd{master_, static_cast<short>(POLLIN | (writeBlocked_ ? POLLOUT : 0)), 0});

    const auto cap = [&](std::uint64_t t) { wake = wake ? std::min(*wake, t) : t; };
    if (const std::optional<std::uint64_t> due = NextDue()) cap(*due);
    if (!hostThere_ && notify_ < 0) cap(now + kIdleProbeMicros);
    if (hostThere_ && hangUp_) cap(now + kHangUpProbeMicros);
}

void ServeStation(const std::vector<PtyHost*>& hosts, const volatile std::sig_atomic_t& stop,
                  std::optional<std::uint64_t> deadline, const sigset_t& sleepMask) {
    std::vector<pollfd> fds;
    while (!stop && !hosts.empty()) {
        const std::uint64_t now = hosts.front()->Now();
        if (deadline && now >= *deadline) break;
        std::optional<std::uint64_t> wake = deadline;
        fds.clear();
        for (PtyHost* host : hosts) {
            host->Step(now);
            host->FlushLog();
            host->PrepareSleep(now, fds, wake);
        }
        timespec timeout{};
        const timespec* limit = nullptr;
        if (wake) {
            const std::uint64_t current = hosts.front()->Now();
            const std::uint64_t wait = *wake > current ? *wake - current : 0;
            timeout.tv_sec = static_cast<time_t>(wait / 1'000'000);
            timeout.tv_nsec = static_cast<long>(wait % 1'000'000) * 1000;
            limit = &timeout;
        }
        ::ppoll(fds.data(), fds.size(), limit, &sleepMask);
    }
    for (PtyHost* host : hosts) host->FlushLog();
}

void PtyHost::LogLine(std::uint64_t micros, const char* what, const std::string& text) {
    if (!options_.log) return;
    std::fprintf(options_.log, "%6llu.%06llu %-10s %s\n", static_cast<unsigned long long>(micros / 1'000'000),
                 static_cast<unsigned long long>(micros % 1'000'000), what, text.c_str());
}

void PtyHost::LogEvent(std::uint64_t micros, const std::string& text) { LogLine(micros, "event", text); }

void PtyHost::LogBoardEntry(const LogEntry& e) {
    switch (e.kind) {
        case LogEntry::HostToBoard: {
            std::string text = Hex(e.byte) + " " + std::to_string(e.bitRate);
            if (e.garbled) text += " garbled (board listens at " + std::to_string(board_.BitRate()) + ")";
            LogLine(e.micros, "host>board", text);
            return;
        }
        case LogEntry::BoardToHost:
            return;  // logged when it reaches the line, with what the host makes of it
        case LogEntry::Event:
            LogEvent(e.micros, e.text);
            return;
    }
}

void PtyHost::FlushLog() {
    if (options_.log) std::fflush(options_.log);
}

}  // namespace h8sx::sim
