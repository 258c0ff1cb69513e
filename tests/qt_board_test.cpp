// The Qt front end against the virtual board on a pseudo-terminal: real clicks on the
// widgets, the real serial layer, the waits sleeping in the Qt pump.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include <chrono>
#include <cstdlib>
#include <fstream>

#include "gui/qt/QtToolkit.h"
#include "platform/posix/PosixSerial.h"
#include "tests/support/Rig.h"
#include "tests/support/SimProcess.h"

// Under LeakSanitizer: fontconfig keeps a cache for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace h8sx::test {
namespace {

void EnsureApplication() {
    static int argc = 1;
    static char arg0[] = "qt_board_test";
    static char* argv[] = {arg0, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

// Keeps every status text, in order, besides showing it.
class RecordingToolkit : public qt::QtToolkit {
public:
    using QtToolkit::QtToolkit;
    std::vector<std::string> statuses;
    void SetStatusText(const std::string& utf8) override {
        statuses.push_back(utf8);
        QtToolkit::SetStatusText(utf8);
    }
};

// The program as main puts it together, with the settings in a temporary directory.
struct Writer {
    explicit Writer(const std::vector<std::string>& simOptions) : sim(simOptions) {
        ::setenv("H8SX_COM1", sim.TerminalPath().c_str(), 1);  // COM1 is the board's terminal
        platform.dir = dir.path();
        form1.SetMonitor(&form2);
        toolkit.Connect(form1, form2);
    }
    struct Application {
        Application() { EnsureApplication(); }
    } application;  // before any widget
    SimProcess sim;
    posix::PosixSerialDevice device;
    TempDir dir;
    TestPlatform platform;
    RecordingToolkit toolkit{[this] { return device.CurrentFd(); }};
    TForm1 form1{device, toolkit, platform};
    TForm2 form2{form1};

    QPushButton* Button(qt::FormWindow& w, const char* name) { return w.As<QPushButton>(name); }
    void ClickMain(const char* name) { Button(toolkit.Form1Window(), name)->click(); }
    void ClickMonitor(const char* name) { Button(toolkit.Form2Window(), name)->click(); }
    QString MemoText() { return toolkit.Form2Window().As<QPlainTextEdit>("Memo1")->toPlainText(); }

    // Runs the message pump, as a wait does, until `done` or a generous limit: the limit
    // only keeps a broken build from hanging, it measures nothing.
    template <class F>
    bool PumpUntil(F done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() > limit) return false;
            toolkit.WaitAndProcessMessages();
        }
        return true;
    }
};

bool Contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

TEST(QtBoard, FwriteMatchesNegotiatesErasesAndAsksForTheFile) {
    Writer w({"--erase-ms", "300"});
    ASSERT_TRUE(w.sim.Started());
    std::string statusAtDialog;
    int dialogs = 0;
    w.toolkit.dialogRunner = [&](QFileDialog&) -> std::optional<std::string> {
        ++dialogs;
        statusAtDialog = w.toolkit.Form1Window().As<QLabel>("Label3")->text().toStdString();
        return std::nullopt;  // the operator cancels
    };
    w.ClickMain("Button1");  // FWRITE runs to its end inside the click
    const auto& s = w.toolkit.statuses;
    const auto confirmed = std::find(s.begin(), s.end(), "応答ありました２");
    ASSERT_NE(confirmed, s.end());
    EXPECT_NE(std::find(confirmed, s.end(), "ブートマット選択"), s.end());
    EXPECT_TRUE(Contains(s, "内部ＲＯＭ消去中"));
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(statusAtDialog, "書き込みファイル選択");
    EXPECT_EQ(w.form1.Busy, 0);
    EXPECT_EQ(w.toolkit.PumpDepth(), 0);
}

TEST(QtBoard, FwriteProgramsAFileIntoTheBoardsFlash) {
    TempDir out;
    const auto flash = out.path() / "flash.bin";
    Writer w({"--erase-ms", "100", "--flash-out", flash.string()});
    // Two records: 16 bytes at 0x000000 and 4 bytes at 0x000100, two blocks apart.
    const auto file = w.dir.Write("prog.mot",
                                  "S00600004844521B\r\n"
                                  "S1130000000102030405060708090A0B0C0D0E0F74\r\n"
                                  "S1070100DEADBEEFBF\r\n"
                                  "S9030000FC\r\n");
    w.toolkit.dialogRunner = [&](QFileDialog&) -> std::optional<std::string> { return file.string(); };
    w.ClickMain("Button1");
    EXPECT_EQ(w.toolkit.statuses.back(), "書き込み正常終了");
    auto* bar = w.toolkit.Form1Window().As<QProgressBar>("ProgressBar1");
    EXPECT_EQ(bar->value(), bar->maximum());

    std::ifstream in(flash, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(bytes.size(), std::size_t{1} << 20);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(static_cast<unsigned char>(bytes[i]), i);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0x100]), 0xDE);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0x103]), 0xEF);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0x10]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0x104]), 0xFF);
}

TEST(QtBoard, MonitorKeysReachTheBoardAndItsEchoShowsInTheTextBox) {
    Writer w({});
    ASSERT_TRUE(w.sim.Started());
    w.ClickMain("Button2");  // VIEW: the port at 38400 bit/s, the monitor window shown
    EXPECT_TRUE(w.toolkit.Form2Window().isVisible());
    w.ClickMonitor("Button1");  // "A": the first byte starts the board's own program
    ASSERT_TRUE(w.PumpUntil([&] { return w.MemoText().contains(QStringLiteral("仮想ボード起動")); }))
        << w.MemoText().toStdString();
    w.ClickMonitor("Button2");   // B
    w.ClickMonitor("Button41");  // Enter
    w.ClickMonitor("Button28");  // 1
    ASSERT_TRUE(w.PumpUntil([&] { return w.MemoText().endsWith(QStringLiteral("B\n1")); }))
        << w.MemoText().toStdString();
    // The announcement came below the empty line the text box starts with.
    EXPECT_TRUE(w.MemoText().startsWith(QStringLiteral("\n")));

    w.ClickMonitor("Button42");  // MON.CLR
    EXPECT_EQ(w.MemoText(), QString());
    // CPU_RESET: a pseudo-terminal has no modem lines, the board goes on as it was; the
    // reset's wait pumps messages and returns.
    w.ClickMonitor("Button43");
    EXPECT_EQ(w.toolkit.PumpDepth(), 0);
    w.ClickMonitor("Button3");  // C
    ASSERT_TRUE(w.PumpUntil([&] { return w.MemoText().contains(QStringLiteral("C")); }))
        << w.MemoText().toStdString();
}

}  // namespace
}  // namespace h8sx::test
