// The main window's behaviour: the writer's controls, the 100 ms tick, the shared flags
// and every operation behind its buttons. The front end owns the widgets and forwards
// the operator's clicks here; the handlers are defined in the folder of the subsystem
// they belong to (boot/, image/, monitor/, app/).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "app/Platform.h"
#include "app/Settings.h"
#include "app/Toolkit.h"
#include "serial/ComLink.h"
#include "serial/SerialDevice.h"

namespace h8sx {

struct FlashImage;

inline constexpr int kProgressInitialMax = 200;

// The monitor window as the main window's tick feeds it: what the board has sent goes
// into its text box while no operation holds the port.
class ReceiveSink {
public:
    virtual void ReceivePoll() = 0;

protected:
    ~ReceiveSink() = default;
};

// The hint of a port button: "COM3: /dev/serial/by-id/usb-…-port0 (ttyUSB0)",
// "COM3: USB Serial Port (COM3)", "COM2: no port".
std::string PortToolTip(const PortEntry& port);

class TForm1 {
public:
    TForm1(SerialDevice& device, Toolkit& toolkit, Platform& platform);
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // Fields, all 0 when the window is created.
    std::int32_t TickCount = 0;
    std::uint8_t ReportOpenFailure = 0;
    std::array<unsigned char, 3> Settings{};
    std::uint8_t Busy = 0;
    std::uint8_t MonitorPortOpen = 0;
    // Set from FWRITE's click to its end. CPU_RESET and RAM_WRITE clear Busy in the middle
    // of a write; this keeps a second FWRITE from starting inside the first.
    std::uint8_t WriteRunning = 0;

    // State of the controls the core reads; the front end mirrors it.
    int TickedPort() const { return tickedPort_; }      // 0..5: RadioButton1..6
    bool SoundTicked() const { return soundTicked_; }   // CheckBox1
    const std::string& StatusText() const { return statusText_; }
    int ProgressPosition() const { return progressPosition_; }
    int ProgressMax() const { return progressMax_; }

    // --- status, sound, port choice ---
    void ShowStatus(const std::string& text);
    void BeepIfSound();
    std::string SelectedPortName() const;
    void SetProgressPosition(int position);
    void SetProgressMax(int maximum);
    // Gives each port button the hint of the port it stands for, as the system has it now.
    void ShowPortToolTips();

    // --- the link ---
    ComLink& Link() { return link_; }
    void OpenComPort(const std::string& name, std::uint32_t bitRate);

    // --- events ---
    void FormShow();
    void Timer1Timer();
    void Button1Click();   // FWRITE
    void Button2Click();   // VIEW
    void Button3Click();   // RAM_WRITE
    // A click of the operator on a port button (0..5) or on SOUND: the control's new
    // state, then its click handler.
    void PortButtonClicked(int index);
    void SoundClicked(bool ticked);
    void RadioButtonClick(int index);  // RadioButton1Click..RadioButton6Click
    void CheckBox1Click();

    // --- settings ---
    void SaveSettings();
    std::string SettingsPath() const;

    // --- FWRITE ---
    // Asks the operator for the S-record file and reads it into `image`; false when there
    // is nothing to program (cancelled, not opened, damaged).
    bool LoadImage(FlashImage& image);

    // --- monitor ---
    void OpenMonitorPort();
    // Restarts the board into its own program (RTS set, DTR pulsed low) and clears Busy;
    // FWRITE ends with it too.
    void ResetForMonitor();
    void SendKey(std::uint8_t keyChar);
    // The monitor window, fed by the tick; none: what the board sends stays queued.
    void AttachMonitor(ReceiveSink* monitor) { monitor_ = monitor; }

    Toolkit& toolkit() { return toolkit_; }
    Platform& platform() { return platform_; }

private:
    // Ticks a control from code; a change runs its click handler as a click would.
    void TickPortFromCode(int index);
    void TickSoundFromCode(bool ticked);

    Toolkit& toolkit_;
    Platform& platform_;
    ComLink link_;
    ReceiveSink* monitor_ = nullptr;

    int tickedPort_ = 0;
    bool soundTicked_ = true;
    std::string statusText_;
    int progressPosition_ = 0;
    int progressMax_ = kProgressInitialMax;
};

}  // namespace h8sx
