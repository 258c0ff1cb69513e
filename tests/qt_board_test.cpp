// The Qt front end against the virtual board on a pseudo-terminal: real clicks on the
// widgets, the real serial layer, the waits sleeping in the Qt pump.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "gui/qt/QtToolkit.h"
#include "platform/posix/PosixSerial.h"
#include "tests/support/Rig.h"

extern char** environ;

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

// h8sx-sim as a child process; COM1 is its terminal end while it runs.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> options) {
        std::vector<std::string> args{H8SX_SIM_PATH, "--timeout", "120"};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        int out[2];
        if (::pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        stdout_ = ::fdopen(out[0], "r");
        char line[512] = {};
        if (stdout_ && std::fgets(line, sizeof line, stdout_)) {
            path_ = line;
            while (!path_.empty() && (path_.back() == '\n' || path_.back() == '\r')) path_.pop_back();
        }
        ::setenv("H8SX_COM1", path_.c_str(), 1);
    }
    ~SimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (stdout_) std::fclose(stdout_);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& Path() const { return path_; }

private:
    pid_t pid_ = -1;
    std::FILE* stdout_ = nullptr;
    std::string path_;
};

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
    explicit Writer(std::vector<std::string> simOptions) : sim(std::move(simOptions)) {
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
    ASSERT_FALSE(w.sim.Path().empty());
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
    ASSERT_FALSE(w.sim.Path().empty());
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
