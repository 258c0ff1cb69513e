// The Qt windows: built as the layout tables say, mirroring the core without running its
// handlers, and forwarding the operator's clicks; the monitor's text box. The other end
// of the port is the in-process board, on a clock that stands still.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <fstream>

#include "gui/qt/QtToolkit.h"
#include "tests/support/Rig.h"

// Under LeakSanitizer: fontconfig keeps a cache for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace h8sx::test {
namespace {

using qt::FormWindow;
using qt::QtToolkit;

void EnsureApplication() {
    static int argc = 1;
    static char arg0[] = "qt_windows_test";
    static char* argv[] = {arg0, nullptr};
    // Kept for the whole run: widgets of every test live under it.
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

QString Caption(const QWidget* w) {
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
    if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
    if (auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
    return {};
}

QColor Q(Rgb c) { return QColor(c.r, c.g, c.b); }

// Every control of the table is there, of its kind, at its place, with its caption,
// font and colours; and the window itself.
void ExpectMatchesTable(const FormWindow& window) {
    const WindowSpec& layout = window.Layout();
    EXPECT_EQ(window.windowTitle(), QString::fromUtf8(layout.caption));
    EXPECT_EQ(window.pos(), QPoint(layout.left, layout.top));
    EXPECT_EQ(window.size(), QSize(layout.width - qt::kNominalFrameWidth, layout.height - qt::kNominalFrameHeight));
    EXPECT_EQ(window.palette().color(QPalette::Window), Q(layout.background));
    for (const ControlSpec& c : layout.controls) {
        SCOPED_TRACE(c.name);
        QWidget* w = window.Control(c.name);
        ASSERT_NE(w, nullptr);
        EXPECT_TRUE(w->isEnabled());
        switch (c.kind) {
            case ControlKind::Label: EXPECT_TRUE(qobject_cast<QLabel*>(w)); break;
            case ControlKind::Button: EXPECT_TRUE(qobject_cast<QPushButton*>(w)); break;
            case ControlKind::CheckBox: EXPECT_TRUE(qobject_cast<QCheckBox*>(w)); break;
            case ControlKind::RadioButton: EXPECT_TRUE(qobject_cast<QRadioButton*>(w)); break;
            case ControlKind::GroupBox: EXPECT_TRUE(qobject_cast<QGroupBox*>(w)); break;
            case ControlKind::ProgressBar: EXPECT_TRUE(qobject_cast<QProgressBar*>(w)); break;
            case ControlKind::Memo: EXPECT_TRUE(qobject_cast<QPlainTextEdit*>(w)); break;
        }
        EXPECT_EQ(w->parentWidget(), c.parent ? window.Control(c.parent) : &window);
        if (c.width > 0) {
            EXPECT_EQ(w->geometry(), QRect(c.left, c.top, c.width, c.height));
        } else {
            EXPECT_EQ(w->pos(), QPoint(c.left, c.top));
            EXPECT_GT(w->width(), 0);
        }
        if (c.kind != ControlKind::ProgressBar && c.kind != ControlKind::Memo) {
            EXPECT_EQ(Caption(w), QString::fromUtf8(c.caption));
        }
        if (auto* box = qobject_cast<QAbstractButton*>(w); box && box->isCheckable()) {
            EXPECT_EQ(box->isChecked(), c.checked);
        }

        const int height = c.font.pixelHeight ? c.font.pixelHeight : layout.font.pixelHeight;
        EXPECT_EQ(w->font().pixelSize(), height);
        EXPECT_EQ(w->font().bold(), c.font.bold);
        // Whatever face the table names, a CJK gothic draws it here.
        const QString family = QFontInfo(w->font()).family();
        EXPECT_TRUE(family.contains(QStringLiteral("CJK")) || family == QString::fromUtf8(layout.font.face))
            << family.toStdString();

        const Rgb text = c.color ? *c.color : layout.color;
        EXPECT_EQ(w->palette().color(QPalette::WindowText), Q(text));
        EXPECT_EQ(w->palette().color(QPalette::ButtonText), Q(text));
        if (c.background) {
            const auto role = c.kind == ControlKind::Memo ? QPalette::Base : QPalette::Window;
            EXPECT_EQ(w->palette().color(role), Q(*c.background));
            EXPECT_TRUE(w->autoFillBackground());
        }
    }
}

TEST(QtWindows, BothWindowsAreBuiltFromTheirTables) {
    EnsureApplication();
    QtToolkit toolkit;
    {
        SCOPED_TRACE("Form1");
        ExpectMatchesTable(toolkit.Form1Window());
    }
    {
        SCOPED_TRACE("Form2");
        ExpectMatchesTable(toolkit.Form2Window());
    }
    // The fixed-pitch face keeps the progress scale's marks over the bar.
    const QFontMetrics scale(toolkit.Form1Window().Control("Label4")->font());
    EXPECT_EQ(scale.horizontalAdvance(u' '), scale.horizontalAdvance(u'0'));
    EXPECT_EQ(scale.horizontalAdvance(u' '), scale.horizontalAdvance(u'%'));

    auto* bar = toolkit.Form1Window().As<QProgressBar>("ProgressBar1");
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 200);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_FALSE(bar->isTextVisible());

    auto* memo = toolkit.Form2Window().As<QPlainTextEdit>("Memo1");
    EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(memo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_FALSE(memo->isReadOnly());
    EXPECT_EQ(memo->toPlainText(), QStringLiteral("\n"));
}

// The core and the windows, as the program puts them together, with the in-process board
// on COM1 and the settings file in a temporary directory.
struct Desk {
    Desk() {
        platform.dir = dir.path();
        toolkit.Connect(form1, form2);
    }
    struct Application {
        Application() { EnsureApplication(); }
    } application;  // before any widget
    std::uint64_t clock = 0;
    sim::Board board;
    sim::VirtualLink link{board, clock};
    TempDir dir;
    // Counts the program's ends instead of ending.
    struct : TestPlatform {
        int exits = 0;
        void ExitNow() override { ++exits; }
    } platform;
    QtToolkit toolkit;
    TForm1 form1{link, toolkit, platform};
    TForm2 form2{form1};

    template <class T>
    T* Main(const char* name) { return toolkit.Form1Window().As<T>(name); }
    template <class T>
    T* Monitor(const char* name) { return toolkit.Form2Window().As<T>(name); }
    QPlainTextEdit* Memo() { return Monitor<QPlainTextEdit>("Memo1"); }
    std::string Settings() {
        std::ifstream in(dir.path() / "vtq1653.par");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST(QtWindows, FirstShowingReadsTheSettingsAndTicksTheButtonsWithoutClicks) {
    Desk desk;
    desk.dir.Write("vtq1653.par", "503");
    desk.toolkit.Form1Window().show();
    EXPECT_TRUE(desk.Main<QRadioButton>("RadioButton5")->isChecked());
    EXPECT_FALSE(desk.Main<QRadioButton>("RadioButton1")->isChecked());
    EXPECT_FALSE(desk.Main<QCheckBox>("CheckBox1")->isChecked());
    EXPECT_EQ(desk.form1.TickedPort(), 4);
    // Showing again is no first showing: the operator's choice stays.
    desk.Main<QRadioButton>("RadioButton2")->click();
    desk.toolkit.Form1Window().hide();
    desk.toolkit.Form1Window().show();
    EXPECT_EQ(desk.form1.TickedPort(), 1);
    EXPECT_EQ(desk.Settings(), "203");
    EXPECT_FALSE(desk.toolkit.Form2Window().isVisible());
}

TEST(QtWindows, ClicksOnTheMainWindowReachTheirHandlers) {
    Desk desk;
    desk.Main<QRadioButton>("RadioButton6")->click();
    EXPECT_EQ(desk.form1.SelectedPortName(), "COM6");
    desk.Main<QCheckBox>("CheckBox1")->click();
    EXPECT_FALSE(desk.form1.SoundTicked());
    EXPECT_EQ(desk.Settings().substr(0, 2), "60");

    desk.Main<QRadioButton>("RadioButton1")->click();
    desk.Main<QPushButton>("Button2")->click();  // VIEW
    EXPECT_EQ(desk.link.opened, std::vector<std::string>{"COM1"});
    EXPECT_EQ(desk.link.HostRate(), 38400u);
    EXPECT_TRUE(desk.toolkit.Form2Window().isVisible());
    // Closing the monitor window only hides it; the text stays.
    desk.toolkit.AppendMonitorText("kept");
    desk.toolkit.Form2Window().close();
    EXPECT_FALSE(desk.toolkit.Form2Window().isVisible());
    desk.Main<QPushButton>("Button2")->click();
    EXPECT_TRUE(desk.toolkit.Form2Window().isVisible());
    EXPECT_EQ(desk.Memo()->toPlainText(), QStringLiteral("\nkept"));
}

TEST(QtWindows, ClosingTheMainWindowInsideAWaitEndsTheProgramAtOnce) {
    Desk desk;
    desk.toolkit.Form1Window().show();
    desk.toolkit.Form1Window().close();  // from the main loop: the loop ends, main returns
    EXPECT_EQ(desk.platform.exits, 0);

    desk.toolkit.Form1Window().show();
    QTimer::singleShot(0, &desk.toolkit.Form1Window(), [&] { desk.toolkit.Form1Window().close(); });
    while (desk.platform.exits == 0 && desk.toolkit.Form1Window().isVisible())
        desk.toolkit.WaitAndProcessMessages();  // as a handler's wait does
    EXPECT_EQ(desk.platform.exits, 1);
}

TEST(QtWindows, TheCoreSetsControlsWithoutRunningTheirHandlers) {
    Desk desk;
    desk.toolkit.SetPortButton(3);
    desk.toolkit.SetSoundBox(false);
    EXPECT_TRUE(desk.Main<QRadioButton>("RadioButton4")->isChecked());
    EXPECT_FALSE(desk.Main<QRadioButton>("RadioButton1")->isChecked());
    EXPECT_FALSE(desk.Main<QCheckBox>("CheckBox1")->isChecked());
    EXPECT_EQ(desk.form1.TickedPort(), 0);
    EXPECT_TRUE(desk.form1.SoundTicked());
    EXPECT_EQ(desk.Settings(), "");  // no click handler saved anything

    auto* status = desk.Main<QLabel>("Label3");
    desk.form1.ShowStatus("ビットレート合わせ");
    EXPECT_EQ(status->text(), QStringLiteral("ビットレート合わせ"));
    EXPECT_EQ(status->width(), 144);
    // A message longer than the line is shown whole.
    desk.form1.ShowStatus("ＣＯＭポートオープンできません。終了します。");
    EXPECT_GE(status->width(), status->fontMetrics().horizontalAdvance(status->text()));
    EXPECT_LE(status->geometry().right(), desk.toolkit.Form1Window().width());
    desk.form1.SetProgressMax(7);
    desk.form1.SetProgressPosition(3);
    auto* bar = desk.Main<QProgressBar>("ProgressBar1");
    EXPECT_EQ(bar->maximum(), 7);
    EXPECT_EQ(bar->value(), 3);
    // An empty image: an empty bar, never Qt's busy indicator.
    desk.form1.SetProgressMax(0);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_GT(bar->maximum(), 0);
}

TEST(QtWindows, MonitorKeysSendTheirBytes) {
    Desk desk;
    desk.Main<QPushButton>("Button2")->click();  // VIEW: the port at 38400 bit/s
    desk.Monitor<QPushButton>("Button1")->click();   // A
    desk.Monitor<QCheckBox>("CheckBox1")->click();   // small letter
    desk.Monitor<QPushButton>("Button26")->click();  // z
    desk.Monitor<QPushButton>("Button34")->click();  // 7
    desk.Monitor<QPushButton>("Button38")->click();  // *
    desk.Monitor<QPushButton>("Button41")->click();  // Enter
    desk.Monitor<QCheckBox>("CheckBox1")->click();
    desk.Monitor<QPushButton>("Button26")->click();  // Z
    EXPECT_EQ(desk.link.sent, (std::vector<std::uint8_t>{'A', 'z', '7', '*', 0x0D, 'Z'}));

    // While FWRITE holds the port a key sends nothing.
    desk.form1.Busy = 1;
    desk.Monitor<QPushButton>("Button1")->click();
    EXPECT_EQ(desk.link.sent.size(), 6u);
}

TEST(QtWindows, MonitorTextIsAppendedAtTheEndAndTheNewestLineStaysInView) {
    Desk desk;
    QPlainTextEdit* memo = desk.Memo();
    memo->show();
    QTextDocument* doc = memo->document();
    // Every change is an insertion at the end: nothing removed, nothing rebuilt.
    std::vector<std::pair<int, int>> changes;  // position, chars removed
    QObject::connect(doc, &QTextDocument::contentsChange, memo,
                     [&](int position, int removed, int) { changes.emplace_back(position, removed); });

    const QTextBlock first = doc->firstBlock();
    desk.toolkit.AppendMonitorText("12\n3");
    desk.toolkit.AppendMonitorText("4");
    EXPECT_EQ(memo->toPlainText(), QStringLiteral("\n12\n34"));
    EXPECT_EQ(doc->firstBlock(), first);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0], std::make_pair(1, 0));
    EXPECT_EQ(changes[1], std::make_pair(5, 0));

    // The operator's caret and selection are not moved by what arrives.
    QTextCursor caret = memo->textCursor();
    caret.setPosition(1);
    caret.setPosition(3, QTextCursor::KeepAnchor);
    memo->setTextCursor(caret);
    for (int i = 0; i < 200; ++i) desk.toolkit.AppendMonitorText("line " + std::to_string(i) + "\n");
    EXPECT_EQ(memo->textCursor().selectionStart(), 1);
    EXPECT_EQ(memo->textCursor().selectionEnd(), 3);
    EXPECT_GT(memo->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(memo->verticalScrollBar()->value(), memo->verticalScrollBar()->maximum());

    // The core's bound cuts the oldest whole lines; the newest stays in view.
    desk.toolkit.DropOldestMonitorLines(3, 1 + 3 + 9);
    EXPECT_TRUE(memo->toPlainText().startsWith(QStringLiteral("line 1\nline 2\n")));
    EXPECT_EQ(memo->verticalScrollBar()->value(), memo->verticalScrollBar()->maximum());

    desk.Monitor<QPushButton>("Button42")->click();  // MON.CLR
    EXPECT_EQ(memo->toPlainText(), QString());
    desk.toolkit.AppendMonitorText("x");
    EXPECT_EQ(memo->toPlainText(), QStringLiteral("x"));
}

TEST(QtWindows, TheOpenDialogOffersTheMotFilterInBothCasesReadOnly) {
    EnsureApplication();
    QtToolkit toolkit;
    QStringList filters;
    bool readOnly = false;
    toolkit.dialogRunner = [&](QFileDialog& dialog) -> std::optional<std::string> {
        filters = dialog.nameFilters();
        readOnly = dialog.testOption(QFileDialog::ReadOnly);
        EXPECT_EQ(toolkit.PumpDepth(), 1);
        return std::nullopt;
    };
    EXPECT_EQ(toolkit.RunOpenDialog(), std::nullopt);
    EXPECT_EQ(filters, QStringList{QStringLiteral("MOTファイル(*.MOT,*.S) (*.MOT* *.mot* *.S *.s)")});
    EXPECT_TRUE(readOnly);
    EXPECT_EQ(toolkit.PumpDepth(), 0);
}

}  // namespace
}  // namespace h8sx::test
