// What the core needs from the window toolkit. A front end (Qt, Win32) owns the real
// widgets, builds them from the layout tables, implements this interface and forwards
// the operator's clicks to the forms' handlers. Tests implement it with a virtual clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "serial/Pump.h"

namespace h8sx {

// The message pump (ProcessMessages, WaitAndProcessMessages) is the windows' own.
class Toolkit : public Pump {
public:
    // MessageBeep(MB_OK).
    virtual void Beep() = 0;

    // Main window controls whose state the core keeps; the front end mirrors it without
    // running any handler.
    virtual void SetStatusText(const std::string& utf8) = 0;       // Label3
    virtual void SetProgress(int position, int maximum) = 0;      // ProgressBar1
    virtual void SetPortButton(int index) = 0;                    // RadioButton1..6: 0..5
    virtual void SetSoundBox(bool ticked) = 0;                    // CheckBox1
    // The hint a port button (0..5) shows under the pointer: which device it stands for.
    virtual void SetPortToolTip(int /*index*/, const std::string& /*utf8*/) {}

    // OpenDialog1: the chosen file's path (UTF-8), or nothing when cancelled.
    virtual std::optional<std::string> RunOpenDialog() = 0;

    // Monitor window (Form2).
    virtual void ShowMonitorWindow() = 0;
    virtual void AppendMonitorText(const std::string& utf8) = 0;  // appends, newest line kept in view
    virtual void ClearMonitorText() = 0;

    // Removes the monitor's oldest `lines` whole lines, `characters` characters in all (a
    // line end counting as one), and keeps the newest line in view. The core calls it so
    // that the text stays bounded; a toolkit without a limit on memory may keep all.
    virtual void DropOldestMonitorLines(std::size_t lines, std::size_t characters) {
        (void)lines;
        (void)characters;
    }
};

}  // namespace h8sx
