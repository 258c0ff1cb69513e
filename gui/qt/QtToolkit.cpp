#include "gui/qt/QtToolkit.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QTextCursor>
#include <QTextDocument>

#include <sys/ioctl.h>

#include <algorithm>

#include "gui/PumpScope.h"

namespace h8sx::qt {

namespace {

int BytesQueued(int fd) {
    int n = 0;
    return fd >= 0 && ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

}  // namespace

QtToolkit::QtToolkit(PortFd portFd)
    : portFd_(std::move(portFd)),
      form1Window_(std::make_unique<FormWindow>(MainWindowLayout())),
      form2Window_(std::make_unique<FormWindow>(MonitorWindowLayout())) {
    // A tick is the system's only clock; a coarse timer would let it drift by 5%.
    timer1_.setTimerType(Qt::PreciseTimer);
    timer1_.setInterval(kTickMs);
    wake_.setTimerType(Qt::PreciseTimer);
    wake_.setSingleShot(true);
}

QtToolkit::~QtToolkit() = default;

void QtToolkit::ProcessMessages() {
    PumpScope scope(pumpDepth_);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Sleeps until a window message, a byte on the port or a short time-out, then handles
// what is pending. The port's read notifier is level-triggered: while bytes the caller
// has already seen wait unread (it wants more than have come), it would wake the loop at
// once, again and again; then the notifier rests and the port is looked at every
// millisecond instead. The notifier is on only inside a wait, so that unread bytes
// between two ticks never keep the main loop busy.
void QtToolkit::WaitAndProcessMessages() {
    PumpScope scope(pumpDepth_);
    const int fd = portFd_ ? portFd_() : -1;
    WatchPort(fd);
    const int waiting = BytesQueued(fd);
    const bool changed = waiting != lastWaiting_;
    lastWaiting_ = waiting;
    if (waiting > 0 && changed) {
        // New bytes since the last look: the caller decides at once what they are worth.
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    const bool sleepOnPort = notifier_ && waiting == 0;
    if (sleepOnPort) notifier_->setEnabled(true);
    wake_.start(waiting > 0 ? kPortPollMs : kSafetyWakeMs);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    wake_.stop();
    // A handler run inside may have replaced the notifier: disable whichever is current.
    if (notifier_) notifier_->setEnabled(false);
}

void QtToolkit::WatchPort(int fd) {
    // The notifier exists exactly while watchedFd_ is a descriptor.
    if (fd == watchedFd_) return;
    notifier_.reset();
    watchedFd_ = fd;
    lastWaiting_ = 0;
    if (fd < 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    notifier_->setEnabled(false);
}

void QtToolkit::Beep() { QApplication::beep(); }

void QtToolkit::SetStatusText(const std::string& utf8) {
    auto* label = form1Window_->As<QLabel>("Label3");
    const QString text = QString::fromUtf8(utf8);
    // Every acknowledged block of a write shows the same text again; measuring it anew
    // would cost more than all the rest of the block's work in the front end.
    if (text == label->text()) return;
    label->setText(text);
    // The status line grows with a longer message rather than cut it off, as a label
    // sized to its text does; it never gets narrower than laid out.
    const ControlSpec& laidOut = *FindControl(MainWindowLayout(), "Label3");
    label->resize(std::max(laidOut.width, label->fontMetrics().horizontalAdvance(text)), laidOut.height);
}

void QtToolkit::SetProgress(int position, int maximum) {
    auto* bar = form1Window_->As<QProgressBar>("ProgressBar1");
    const QSignalBlocker block(bar);
    // A range of 0..0 would turn the bar into a busy indicator; an empty scale stays empty.
    bar->setRange(0, std::max(maximum, 1));
    bar->setValue(std::clamp(position, 0, std::max(maximum, 0)));
}

void QtToolkit::SetPortButton(int index) {
    auto* radio = form1Window_->As<QRadioButton>("RadioButton" + std::to_string(index + 1));
    if (!radio) return;
    const QSignalBlocker block(radio);
    radio->setChecked(true);
}

void QtToolkit::SetPortToolTip(int index, const std::string& utf8) {
    if (auto* radio = form1Window_->As<QRadioButton>("RadioButton" + std::to_string(index + 1)))
        radio->setToolTip(QString::fromUtf8(utf8));
}

void QtToolkit::SetSoundBox(bool ticked) {
    auto* box = form1Window_->As<QCheckBox>("CheckBox1");
    const QSignalBlocker block(box);
    box->setChecked(ticked);
}

void PrepareOpenDialog(QFileDialog& dialog) {
    QStringList patterns;
    for (const QString& p : QString::fromUtf8(kFileFilterPatterns).split(u';', Qt::SkipEmptyParts)) {
        patterns << p;
        if (p.toLower() != p) patterns << p.toLower();
    }
    dialog.setNameFilter(QString::fromUtf8(kFileFilterName) + QStringLiteral(" (") + patterns.join(u' ') +
                         QStringLiteral(")"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setOption(QFileDialog::ReadOnly, true);
    // The operator sees the description alone, as written; the patterns do the work.
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
}

std::optional<std::string> QtToolkit::RunOpenDialog() {
    QFileDialog dialog(form1Window_.get());
    PrepareOpenDialog(dialog);
    // The dialog runs its own loop: the tick and the other buttons stay live in it.
    PumpScope scope(pumpDepth_);
    if (dialogRunner) return dialogRunner(dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

void QtToolkit::ShowMonitorWindow() {
    FormWindow& w = *form2Window_;
    w.setWindowState(w.windowState() & ~Qt::WindowMinimized);
    w.show();
    w.raise();
    w.activateWindow();
}

void QtToolkit::AppendMonitorText(const std::string& utf8) {
    auto* memo = form2Window_->As<QPlainTextEdit>("Memo1");
    // Inserted at the end of the document, not through the operator's caret, so that
    // neither the text shown so far nor a selection is touched.
    QTextCursor end(memo->document());
    end.movePosition(QTextCursor::End);
    end.insertText(QString::fromUtf8(utf8));
    QScrollBar* bar = memo->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void QtToolkit::ClearMonitorText() { form2Window_->As<QPlainTextEdit>("Memo1")->clear(); }

void QtToolkit::DropOldestMonitorLines(std::size_t lines, std::size_t) {
    auto* memo = form2Window_->As<QPlainTextEdit>("Memo1");
    QTextDocument* doc = memo->document();
    // By whole blocks, so that whatever the operator typed into the text stays in its line.
    QTextCursor cut(doc);
    cut.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, static_cast<int>(lines));
    cut.removeSelectedText();
    // With its undo history on, the document keeps every character ever appended or cut;
    // off, it gives the room of the cut text back. (Setting the whole text, as the monitor
    // did at first, never left the operator an undo across received text either.)
    doc->setUndoRedoEnabled(false);
    QScrollBar* bar = memo->verticalScrollBar();
    bar->setValue(bar->maximum());
}

}  // namespace h8sx::qt
