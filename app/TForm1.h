// The main window's behaviour: the writer's controls, the 100 ms tick, the shared flags
// and every operation behind its buttons. The front end owns the widgets and forwards
// the operator's clicks here; the handlers are defined in the folder of the subsystem
// they belong to (boot/, image/, monitor/, app/).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "app/Platform.h"
#include "app/Toolkit.h"
#include "monitor/MonitorLines.h"
#include "monitor/ReceiveText.h"
#include "serial/ComLink.h"
#include "serial/SerialDevice.h"

namespace h8sx {

struct FlashImage;

inline constexpr int kPortCount = 6;

// How the last FWRITE or RAM_WRITE ended, for a client that acts on it; the windows show
// the status line only.
enum class Outcome : std::uint8_t {
    Done,
    PortNotOpened,   // FWRITE's open of the port failed
    NoBoard,         // no answer to the bit-rate matching, or not its confirmation
    BootFailed,      // the boot-mode dialogue ended early (device to MAT selection)
    FileFailed,      // no file, a file that cannot be opened or is damaged: nothing programmed
    TransferFailed,  // a block or the end of programming refused or unanswered
};
inline constexpr int kProgressInitialMax = 200;

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

    // For clients without port buttons and sound (the command line); the windows leave
    // them as they are.
    Outcome LastOutcome = Outcome::Done;
    std::string PortOverride;       // when set, the port every open uses in place of the ticked one
    bool SkipBlankBlocks = false;   // leave blocks of all 0xFF as erased rather than program them
    std::uint32_t SkippedBlocks = 0;

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
    void PulseReset();
    int RunBootCommands();
    void TransferImage();
    bool LoadImage(FlashImage& image);
    void ProgramImage(const FlashImage& image);

    // --- monitor ---
    void OpenMonitorPort();
    // Restarts the board into its own program (RTS set, DTR pulsed low) and clears Busy;
    // FWRITE ends with it too.
    void ResetForMonitor();
    void SendKey(std::uint8_t keyChar);
    void ClearMonitor();  // MON.CLR
    void ReceivePoll();

    Platform& platform() { return platform_; }

private:
    // Ticks a control from code; a change runs its click handler as a click would.
    void TickPortFromCode(int index);
    void TickSoundFromCode(bool ticked);

    Toolkit& toolkit_;
    Platform& platform_;
    ComLink link_;
    ReceiveText receiveText_;
    MonitorLines monitorLines_;

    int tickedPort_ = 0;
    bool soundTicked_ = true;
    std::string statusText_;
    int progressPosition_ = 0;
    int progressMax_ = kProgressInitialMax;
};

}  // namespace h8sx
