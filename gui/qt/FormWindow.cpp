#include "gui/qt/FormWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <algorithm>
#include <cstring>

#include "app/TForm1.h"
#include "gui/qt/Widgets.h"

namespace h8sx::qt {

namespace {

// How far a caption may be condensed, in percent of its width.
constexpr int kMinimumStretch = 60;

QColor ToQColor(Rgb c) { return QColor(c.r, c.g, c.b); }

// Text in every role a control may draw it with (labels and boxes use WindowText,
// buttons ButtonText, the text box Text).
void SetTextColor(QWidget* w, Rgb color) {
    QPalette p = w->palette();
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
        p.setColor(role, ToQColor(color));
    w->setPalette(p);
}

void SetBackground(QWidget* w, Rgb color, QPalette::ColorRole role) {
    QPalette p = w->palette();
    p.setColor(role, ToQColor(color));
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

// The stand-in faces run wider than the originals: a caption that would not fit its
// laid-out width is condensed until it does, rather than cut off or moved.
void CondenseToFit(QWidget* w, int width) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int needed = w->sizeHint().width();
        if (needed <= width) return;
        QFont f = w->font();
        const int stretch = f.stretch() > 0 ? f.stretch() : 100;
        f.setStretch(std::max(kMinimumStretch, stretch * width / needed - 1));
        w->setFont(f);
    }
}

}  // namespace

QFont FontFor(const FontSpec& own, const FontSpec& window) {
    const char* face = own.face ? own.face : window.face;
    const int height = own.pixelHeight ? own.pixelHeight : window.pixelHeight;
    // Both faces are gothics; the fixed-pitch one has its own stand-in so that the
    // progress scale keeps its marks where the blanks put them.
    const char* fallback =
        face && std::strcmp(face, kGothic) == 0 ? kFallbackGothic : kFallbackProportional;
    QFont font;
    QStringList families;
    if (face) families << QString::fromUtf8(face);
    families << QString::fromLatin1(fallback);
    font.setFamilies(families);
    font.setPixelSize(height);
    font.setBold(own.bold);
    // The character set (Shift-JIS or Western) has no meaning for Unicode text.
    return font;
}

FormWindow::FormWindow(const WindowSpec& layout) : layout_(layout) {
    setObjectName(QString::fromLatin1(layout.name));
    setWindowTitle(QString::fromUtf8(layout.caption));
    setFont(FontFor(layout.font, layout.font));
    SetTextColor(this, layout.color);
    SetBackground(this, layout.background, QPalette::Window);

    // Group boxes first, so that their buttons find their parent whatever the order.
    for (const ControlSpec& c : layout.controls)
        if (!c.parent) controls_[c.name] = Build(c, this);
    for (const ControlSpec& c : layout.controls)
        if (c.parent) controls_[c.name] = Build(c, Control(c.parent));

    move(layout.left, layout.top);
    resize(layout.width - kNominalFrameWidth, layout.height - kNominalFrameHeight);
}

QWidget* FormWindow::Control(const std::string& name) const {
    auto it = controls_.find(name);
    return it == controls_.end() ? nullptr : it->second;
}

QWidget* FormWindow::Build(const ControlSpec& c, QWidget* parent) {
    const QString caption = QString::fromUtf8(c.caption);
    QWidget* w = nullptr;
    switch (c.kind) {
        case ControlKind::Label: {
            auto* label = new TableLabel(caption, parent);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setWordWrap(false);
            w = label;
            break;
        }
        case ControlKind::Button:
            w = new QPushButton(caption, parent);
            break;
        case ControlKind::CheckBox: {
            auto* box = new QCheckBox(caption, parent);
            box->setChecked(c.checked);
            w = box;
            break;
        }
        case ControlKind::RadioButton: {
            // Radio buttons with the same parent exclude each other, as in a group box.
            auto* radio = new QRadioButton(caption, parent);
            radio->setChecked(c.checked);
            w = radio;
            break;
        }
        case ControlKind::GroupBox:
            w = new TableGroupBox(caption, parent);
            break;
        case ControlKind::ProgressBar: {
            auto* bar = new QProgressBar(parent);
            bar->setRange(0, kProgressInitialMax);
            bar->setValue(0);
            bar->setTextVisible(false);
            w = bar;
            break;
        }
        case ControlKind::Memo: {
            auto* memo = new QPlainTextEdit(parent);
            memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
            memo->setReadOnly(false);
            // The text box starts holding one empty line: what comes first shows below it.
            memo->setPlainText(QStringLiteral("\n"));
            w = memo;
            break;
        }
    }
    w->setObjectName(QString::fromLatin1(c.name));
    if (c.font.face || c.font.pixelHeight || c.font.bold) w->setFont(FontFor(c.font, layout_.font));
    if (c.color) SetTextColor(w, *c.color);
    if (c.background)
        SetBackground(w, *c.background, c.kind == ControlKind::Memo ? QPalette::Base : QPalette::Window);
    if (c.width > 0 && c.height > 0) {
        w->setGeometry(c.left, c.top, c.width, c.height);
        if (c.kind == ControlKind::Label || c.kind == ControlKind::CheckBox || c.kind == ControlKind::RadioButton)
            CondenseToFit(w, c.width);
    } else {
        // Sized to its text.
        w->move(c.left, c.top);
        w->adjustSize();
    }
    return w;
}

void FormWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The window manager frames the window after it is mapped; look once it has.
    if (!fitted_) QTimer::singleShot(0, this, [this] { FitOuterSize(); });
    if (!shown_) {
        shown_ = true;
        if (onFirstShow) onFirstShow();
    }
}

void FormWindow::FitOuterSize() {
    const QRect outer = frameGeometry();
    const QRect inner = geometry();
    const int frameWidth = outer.width() - inner.width();
    const int frameHeight = outer.height() - inner.height();
    // Without a frame (no window manager) the client area stays as the windows were drawn.
    if (frameWidth <= 0 && frameHeight <= 0) return;
    fitted_ = true;
    resize(layout_.width - frameWidth, layout_.height - frameHeight);
}

void FormWindow::closeEvent(QCloseEvent* event) {
    // Without a handler, closing only hides the window; its content stays for the next
    // time it is shown.
    event->accept();
    if (onClose) onClose();
}

}  // namespace h8sx::qt
