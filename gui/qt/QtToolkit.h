// The Toolkit of the core on Qt widgets: the two windows built from the layout tables,
// the status line, progress bar and port buttons mirrored from the core, the open
// dialog, the monitor's text box, and the message pump the waits run on.
#pragma once

#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/Toolkit.h"
#include "gui/qt/FormWindow.h"

class QFileDialog;
class QSocketNotifier;

namespace h8sx {
class TForm1;
class TForm2;
}  // namespace h8sx

namespace h8sx::qt {

// A wait with nothing new on the port still looks at the clock this often.
inline constexpr int kSafetyWakeMs = 5;
// A wait for more bytes than have come looks at the port this often.
inline constexpr int kPortPollMs = 1;
// Timer1.
inline constexpr int kTickMs = 100;

class QtToolkit : public Toolkit {
public:
    // The descriptor of the open serial port, or -1; the waits sleep on it.
    using PortFd = std::function<int()>;
    // Runs the prepared open dialog and returns the chosen path; tests put their own here.
    using DialogRunner = std::function<std::optional<std::string>(QFileDialog&)>;

    explicit QtToolkit(PortFd portFd = {});
    ~QtToolkit() override;
    QtToolkit(const QtToolkit&) = delete;
    QtToolkit& operator=(const QtToolkit&) = delete;

    FormWindow& Form1Window() { return *form1Window_; }
    FormWindow& Form2Window() { return *form2Window_; }

    // Forwards the operator's clicks to the forms' handlers and starts Timer1. Closing
    // the main window ends the program; closing the monitor window hides it.
    void Connect(TForm1& form1, TForm2& form2);

    DialogRunner dialogRunner;

    // How deep the handlers' message pumps (and the open dialog) are nested right now:
    // above 0, a handler of the core is running under the current event.
    int PumpDepth() const { return pumpDepth_; }

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
    // Keeps the read notifier on the port's current descriptor.
    void WatchPort(int fd);
    void CloseWindow();

    PortFd portFd_;
    std::unique_ptr<FormWindow> form1Window_;
    std::unique_ptr<FormWindow> form2Window_;
    QTimer timer1_;
    QTimer wake_;
    std::unique_ptr<QSocketNotifier> notifier_;
    int watchedFd_ = -1;
    int lastWaiting_ = 0;
    int pumpDepth_ = 0;
    TForm1* form1_ = nullptr;
};

// Prepares the open dialog: its one filter (the patterns in both cases, since file names
// on this system are case sensitive) and the read-only option.
void PrepareOpenDialog(QFileDialog& dialog);

}  // namespace h8sx::qt
