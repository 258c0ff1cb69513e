// The operator's clicks, forwarded to the forms' handlers.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QMessageBox>

#include <exception>

#include "app/TForm1.h"
#include "gui/qt/QtToolkit.h"
#include "monitor/TForm2.h"

namespace h8sx::qt {

namespace {

// An exception that leaves a handler is shown in the standard error box, as a message
// loop would show it, and the program goes on; Qt itself must never see one.
template <class F>
void Guarded(F&& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QString(), QString::fromUtf8(e.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QString(), QStringLiteral("unknown exception"));
    }
}

template <class F>
void OnClick(FormWindow& window, const std::string& name, F handler) {
    auto* button = window.As<QAbstractButton>(name);
    QObject::connect(button, &QAbstractButton::clicked, button,
                     [handler](bool checked) { Guarded([&] { handler(checked); }); });
}

// Brings the port buttons' hints up to date just before one shows, so that an adapter
// plugged in meanwhile is there.
class HintRefresh : public QObject {
public:
    HintRefresh(QObject* parent, TForm1& form1) : QObject(parent), form1_(form1) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::ToolTip) Guarded([this] { form1_.ShowPortToolTips(); });
        return false;
    }

private:
    TForm1& form1_;
};

}  // namespace

void QtToolkit::Connect(TForm1& form1, TForm2& form2) {
    form1_ = &form1;
    FormWindow& main = *form1Window_;
    FormWindow& monitor = *form2Window_;

    OnClick(main, "Button1", [&form1](bool) { form1.Button1Click(); });  // FWRITE
    OnClick(main, "Button2", [&form1](bool) { form1.Button2Click(); });  // VIEW
    OnClick(main, "Button3", [&form1](bool) { form1.Button3Click(); });  // RAM_WRITE
    OnClick(main, "CheckBox1", [&form1](bool ticked) { form1.SoundClicked(ticked); });
    auto* hints = new HintRefresh(&main, form1);
    for (int i = 0; i < kPortCount; ++i) {
        OnClick(main, "RadioButton" + std::to_string(i + 1), [&form1, i](bool) { form1.PortButtonClicked(i); });
        main.Control("RadioButton" + std::to_string(i + 1))->installEventFilter(hints);
    }

    for (const ControlSpec& c : monitor.Layout().controls)
        if (c.keyIndex >= 0) OnClick(monitor, c.name, [&form2, key = c.keyIndex](bool) { form2.KeyClick(key); });
    auto* small = monitor.As<QCheckBox>("CheckBox1");
    QObject::connect(small, &QCheckBox::toggled, small, [&form2](bool ticked) { form2.SmallLetter = ticked; });
    OnClick(monitor, "Button42", [&form2](bool) { form2.Button42Click(); });  // MON.CLR
    OnClick(monitor, "Button43", [&form2](bool) { form2.Button43Click(); });  // CPU_RESET

    main.onFirstShow = [&form1] { Guarded([&] { form1.FormShow(); }); };
    main.onClose = [this] { CloseWindow(); };

    QApplication::setQuitOnLastWindowClosed(false);
    QObject::connect(&timer1_, &QTimer::timeout, &timer1_, [&form1] { Guarded([&] { form1.Timer1Timer(); }); });
    timer1_.start();
}

void QtToolkit::CloseWindow() {
    // Closed from inside a handler's wait (an FWRITE, a reset, the open dialog): the
    // handler would go on unseen for up to half a minute, holding the port, so the
    // program ends here and now. Otherwise the main loop ends and main returns.
    if (pumpDepth_ > 0 && form1_) {
        form1_->platform().ExitNow();
        return;
    }
    QCoreApplication::quit();
}

}  // namespace h8sx::qt
