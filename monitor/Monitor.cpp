// VIEW, the monitor's port, the restart into the board's own program, the keys and the
// tick's receive poll.
#include <algorithm>
#include <array>

#include "app/TForm1.h"

namespace h8sx {

namespace {
constexpr std::uint32_t kMonitorBitRate = 38400;
constexpr std::int32_t kResetTicks = 2;  // DTR low before the board's own program starts
constexpr std::size_t kPollBufferSize = 80;
}  // namespace

void TForm1::Button2Click() {
    if (Busy) return;
    if (!MonitorPortOpen) {
        // Set before the open: VIEW never tries a second time, even after a silent failure.
        MonitorPortOpen = 1;
        OpenMonitorPort();
    }
    BeepIfSound();
    toolkit_.ShowMonitorWindow();
}

void TForm1::OpenMonitorPort() { OpenComPort(SelectedPortName(), kMonitorBitRate); }

void TForm1::ResetForMonitor() {
    link_.EscapeCommFunction(Escape::SETRTS);
    link_.EscapeCommFunction(Escape::CLRDTR);
    link_.WaitTicks(kResetTicks);
    link_.EscapeCommFunction(Escape::SETDTR);
    Busy = 0;
}

void TForm1::SendKey(std::uint8_t keyChar) {
    if (Busy) return;
    BeepIfSound();
    link_.SendBytes(&keyChar, 1);
}

void TForm1::ClearMonitor() {
    receiveText_.Reset();
    monitorLines_.Clear();
    toolkit_.ClearMonitorText();
}

void TForm1::ReceivePoll() {
    // Everything that waited when the tick came is read, 80 bytes a read, so that a board
    // sending without a pause at 38400 bit/s (about 384 bytes a tick) never backs up.
    std::uint32_t waiting = link_.BytesWaiting();
    std::string text;
    while (waiting > 0) {
        std::array<std::uint8_t, kPollBufferSize> buf{};
        const std::size_t n = link_.Read(buf.data(), std::min<std::size_t>(waiting, buf.size()));
        if (n == 0) break;
        waiting -= static_cast<std::uint32_t>(n);
        text += receiveText_.Take(buf.data(), n);
    }
    if (text.empty()) return;
    toolkit_.AppendMonitorText(text);
    if (const MonitorLines::Cut cut = monitorLines_.Append(text); cut.lines > 0)
        toolkit_.DropOldestMonitorLines(cut.lines, cut.characters);
}

}  // namespace h8sx
