// VIEW, the monitor's port, the restart into the board's own program, the keys and the
// tick's receive poll.
#include <algorithm>
#include <array>

#include "app/TForm1.h"
#include "monitor/OwnProgram.h"
#include "monitor/ReceiveText.h"
#include "monitor/TForm2.h"
#include "serial/BitRates.h"

namespace h8sx {

namespace {
constexpr std::int32_t kResetTicks = 2;  // DTR low before the board's own program starts
constexpr std::size_t kPollBufferSize = 80;
}  // namespace

void RestartOwnProgram(ComLink& link) {
    link.EscapeCommFunction(Escape::SETRTS);
    link.EscapeCommFunction(Escape::CLRDTR);
    link.WaitTicks(kResetTicks);
    link.EscapeCommFunction(Escape::SETDTR);
}

std::string ReadReceived(ComLink& link, ReceiveText& decoder) {
    // Everything that waits is read, 80 bytes a read, so that a board sending without a
    // pause at 38400 bit/s (about 384 bytes a tick) never backs up.
    std::uint32_t waiting = link.BytesWaiting();
    std::string text;
    while (waiting > 0) {
        std::array<std::uint8_t, kPollBufferSize> buf{};
        const std::size_t n = link.Read(buf.data(), std::min<std::size_t>(waiting, buf.size()));
        if (n == 0) break;
        waiting -= static_cast<std::uint32_t>(n);
        text += decoder.Take(buf.data(), n);
    }
    return text;
}

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

void TForm1::OpenMonitorPort() { OpenComPort(SelectedPortName(), kOwnProgramBitRate); }

void TForm1::ResetForMonitor() {
    RestartOwnProgram(link_);
    Busy = 0;
}

void TForm1::SendKey(std::uint8_t keyChar) {
    if (Busy) return;
    BeepIfSound();
    link_.SendBytes(&keyChar, 1);
}

void TForm2::ReceivePoll() {
    const std::string text = ReadReceived(form1_.Link(), receiveText_);
    if (text.empty()) return;
    form1_.toolkit().AppendMonitorText(text);
    if (const MonitorLines::Cut cut = monitorLines_.Append(text); cut.lines > 0)
        form1_.toolkit().DropOldestMonitorLines(cut.lines, cut.characters);
}

void TForm2::Button42Click() {
    receiveText_.Reset();
    monitorLines_.Clear();
    form1_.toolkit().ClearMonitorText();
}

}  // namespace h8sx
