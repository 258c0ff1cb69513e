// The toolkit of the Windows front end: the two windows built from the layout tables,
// the message pump the waits run on, and the operator's clicks forwarded to the forms.
#pragma once

#include <memory>

#include "app/Toolkit.h"
#include "gui/win32/FormWindow.h"

namespace h8sx {
class TForm1;
class TForm2;
}  // namespace h8sx

namespace h8sx::win32 {

class Win32Toolkit : public Toolkit {
public:
    explicit Win32Toolkit(HINSTANCE instance);
    ~Win32Toolkit() override;

    // Forwards the controls' clicks and Timer1 to the forms, and starts Timer1.
    void Connect(TForm1& form1, TForm2& form2);
    // Shows the main window; its first showing runs FormShow.
    void ShowMainWindow();
    // The main message loop; returns when the main window has been closed.
    int Run();

    FormWindow& Form1Window() { return *form1Window_; }
    FormWindow& Form2Window() { return *form2Window_; }

    // Toolkit
    void ProcessMessages() override;
    void WaitAndProcessMessages() override;
    void Beep() override;
    void SetStatusText(const std::string& utf8) override;
    void SetProgress(int position, int maximum) override;
    void SetPortButton(int index) override;
    void SetSoundBox(bool ticked) override;
    void SetPortToolTip(int index, const std::string& utf8) override;
    std::optional<std::string> RunOpenDialog() override;
    void ShowMonitorWindow() override;
    void AppendMonitorText(const std::string& utf8) override;
    void ClearMonitorText() override;
    void DropOldestMonitorLines(std::size_t lines, std::size_t characters) override;

private:
    void Dispatch(MSG& msg);
    void CloseMainWindow();
    void Tick();
    bool IsPortButton(HWND h) const;

    std::unique_ptr<FormWindow> form1Window_;
    std::unique_ptr<FormWindow> form2Window_;
    TForm1* form1_ = nullptr;
    int pumpDepth_ = 0;
    // The system timer's resolution is raised to 1 ms while waits run, and given back at
    // the first tick with no wait since the one before.
    bool finePeriod_ = false;
    bool waitedSinceTick_ = false;
    bool shown_ = false;
    HWND toolTips_ = nullptr;  // the port buttons' hints
    unsigned tipsAdded_ = 0;   // bit n: button n has its hint
    HWND hovered_ = nullptr;   // the window the pointer last moved over
};

}  // namespace h8sx::win32
