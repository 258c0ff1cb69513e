#include "app/TForm1.h"

#include <algorithm>

#include "app/Texts.h"

namespace h8sx {

namespace {
// Label3's caption when the window is created: 36 blanks.
constexpr const char* kBlankStatus = "                                    ";
constexpr const char* kPortNames[kPortCount] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"};
}  // namespace

const char* PortName(int index) { return kPortNames[index]; }

std::string PortToolTip(const PortEntry& port) {
    if (port.device.empty()) return port.name + ": no port";
    std::string text = port.name + ": ";
    // A device that is only the number in the system's own namespace says nothing more:
    // the system's name for the port does.
    if (port.device == port.name || port.device == "\\\\.\\" + port.name) {
        text += port.detail.empty() ? port.device : port.detail;
    } else {
        text += port.device;
        if (!port.detail.empty()) text += " (" + port.detail + ")";
    }
    if (!port.present) text += " (not present)";
    return text;
}

TForm1::TForm1(SerialDevice& device, Toolkit& toolkit, Platform& platform)
    : toolkit_(toolkit), platform_(platform), link_(device, toolkit, TickCount), statusText_(kBlankStatus) {
    SetProgressPosition(0);
    SetProgressMax(kProgressInitialMax);
}

void TForm1::ShowStatus(const std::string& text) {
    statusText_ = text;
    toolkit_.SetStatusText(text);
}

void TForm1::BeepIfSound() {
    if (soundTicked_) toolkit_.Beep();
}

std::string TForm1::SelectedPortName() const {
    return kPortNames[tickedPort_];
}

void TForm1::SetProgressPosition(int position) {
    // As the bar itself does, the position never passes the maximum.
    progressPosition_ = std::clamp(position, 0, progressMax_);
    toolkit_.SetProgress(progressPosition_, progressMax_);
}

void TForm1::SetProgressMax(int maximum) {
    progressMax_ = maximum;
    progressPosition_ = std::min(progressPosition_, progressMax_);
    toolkit_.SetProgress(progressPosition_, progressMax_);
}

void TForm1::ShowPortToolTips() {
    const std::vector<PortEntry> ports = platform_.ListPorts();
    if (ports.empty()) return;  // a platform that cannot tell
    for (int i = 0; i < kPortCount; ++i) {
        PortEntry port{kPortNames[i], {}, {}, false};
        for (const PortEntry& p : ports)
            if (p.name == port.name) port = p;
        toolkit_.SetPortToolTip(i, PortToolTip(port));
    }
}

void TForm1::OpenComPort(const std::string& name, std::uint32_t bitRate) {
    if (!link_.ReplaceHandle(name) && ReportOpenFailure) {
        BeepIfSound();
        ShowStatus(text::kPortOpenFailed);
        link_.WaitTicks(20);
        platform_.ExitNow();
        return;
    }
    link_.Configure(bitRate);
}

void TForm1::Timer1Timer() {
    if (!Busy && monitor_) monitor_->ReceivePoll();
    if (TickCount != 0) --TickCount;
}

void TForm1::PortButtonClicked(int index) {
    if (index < 0 || index >= kPortCount) return;
    tickedPort_ = index;
    RadioButtonClick(index);
    // Opening the port may have given a new adapter its number.
    ShowPortToolTips();
}

void TForm1::SoundClicked(bool ticked) {
    soundTicked_ = ticked;
    CheckBox1Click();
}

void TForm1::TickPortFromCode(int index) {
    if (index == tickedPort_) return;
    tickedPort_ = index;
    toolkit_.SetPortButton(index);
    RadioButtonClick(index);
}

void TForm1::TickSoundFromCode(bool ticked) {
    if (ticked == soundTicked_) return;
    soundTicked_ = ticked;
    toolkit_.SetSoundBox(ticked);
    CheckBox1Click();
}

}  // namespace h8sx
