// The Qt front end against the virtual board on a pseudo-terminal: real clicks on the
// widgets, the real serial layer, the waits sleeping in the Qt pump.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>

#include "gui/qt/QtToolkit.h"
#include "platform/posix/PosixSerial.h"
#include "tests/image_records.h"
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
class StatusKeepingToolkit : public qt::QtToolkit {
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
        toolkit.Connect(form1, form2);
    }
    struct Application {
        Application() { EnsureApplication(); }
    } application;  // before any widget
    SimProcess sim;
    posix::PosixSerialDevice device;
    TempDir dir;
    TestPlatform platform;
    StatusKeepingToolkit toolkit{[this] { return device.CurrentFd(); }};
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

using Strings = std::vector<std::string>;

bool Contains(const Strings& v, const std::string& s) { return std::find(v.begin(), v.end(), s) != v.end(); }

bool ContainsRun(const Strings& v, const Strings& run) {
    return std::search(v.begin(), v.end(), run.begin(), run.end()) != v.end();
}

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The data records of `data` from `address` on, without the header and termination.
std::string DataRecords(int kind, std::uint32_t address, const Bytes& data, std::size_t perRecord,
                        const std::string& eol) {
    const std::string file = SRecordFile(data, kind, address, perRecord, eol);
    const std::size_t head = Header(eol).size();
    return file.substr(head, file.size() - head - Termination(kind, eol).size());
}

// What the host sent, as the board's log has it: "<hex> <bit rate>[ garbled ...]" a byte.
Strings HostBytes(const std::vector<SimLogLine>& log) {
    Strings out;
    for (const SimLogLine& l : log)
        if (l.what == "host>board") out.push_back(l.text);
    return out;
}

// `bytes` as the board's log shows them arriving at `rate`.
Strings AsLogged(const std::string& bytes, unsigned rate) {
    Strings out;
    for (unsigned char b : bytes) out.push_back(HexByte(b) + " " + std::to_string(rate));
    return out;
}

// Where two equally long byte strings first differ; their length when nowhere.
std::size_t FirstDifference(const Bytes& a, const Bytes& b) {
    return static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin()).first - a.begin());
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

    // The write ends by restarting the board into its own program: VIEW keeps the port as
    // the write left it, and the program answers the first key.
    w.ClickMain("Button2");
    w.ClickMonitor("Button1");
    ASSERT_TRUE(w.PumpUntil([&] { return w.MemoText().contains(QStringLiteral("仮想ボード起動\nA")); }))
        << w.MemoText().toStdString();
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

// A file of each kind in two runs of records with a gap between them. The first record
// lands at flash address 0 whatever its address, the gap is filled with 0xFF, and no image
// is a whole number of blocks long, so the last block runs into the tail behind it.
struct FileKind {
    int kind;
    std::uint32_t address;           // of the first record
    std::size_t first, gap, second;  // data bytes, bytes of fill, data bytes
    std::size_t perRecord;
    const char* eol;
    const char* parsed;  // the loader's status for this kind
};

void PrintTo(const FileKind& k, std::ostream* os) { *os << "S" << k.kind << " file"; }

class QtBoardFileKinds : public ::testing::TestWithParam<FileKind> {};

TEST_P(QtBoardFileKinds, FwriteLeavesTheFileInTheBoardsFlash) {
    const FileKind& k = GetParam();
    const Bytes a = Pattern(k.first, 2 * k.kind), b = Pattern(k.second, 2 * k.kind + 1);
    const std::string text =
        Header(k.eol) + DataRecords(k.kind, k.address, a, k.perRecord, k.eol) +
        DataRecords(k.kind, k.address + static_cast<std::uint32_t>(k.first + k.gap), b, k.perRecord, k.eol) +
        Termination(k.kind, k.eol);
    const Bytes image = Concat({a, Bytes(k.gap, 0xFF), b});
    const std::size_t blocks = (image.size() + 127) / 128;
    ASSERT_NE(image.size() % 128, 0u);
    Bytes expected = Concat({image, Tail()});
    expected.resize(blocks * 128);
    expected.resize(std::size_t{1} << 20, 0xFF);

    TempDir out;
    const auto flash = out.path() / "flash.bin";
    Writer w({"--erase-ms", "100", "--flash-out", flash.string()});
    ASSERT_TRUE(w.sim.Started());
    const auto file = w.dir.Write("prog.mot", text);
    w.toolkit.dialogRunner = [&](QFileDialog&) -> std::optional<std::string> { return file.string(); };
    w.ClickMain("Button1");
    EXPECT_EQ(w.form1.Busy, 0);
    ASSERT_EQ(w.sim.Stop(), 0);  // the flash file is complete

    const Strings& s = w.toolkit.statuses;
    EXPECT_TRUE(ContainsRun(
        s, {"書き込みファイル選択", "ファイル転送中です", k.parsed, "ファイル転送－＞ＣＰＵボード"}));
    EXPECT_EQ(std::count(s.begin(), s.end(), "レスポンスＯＫ"), static_cast<std::ptrdiff_t>(blocks));
    EXPECT_EQ(s.back(), "書き込み正常終了");
    EXPECT_EQ(w.toolkit.Form1Window().As<QLabel>("Label3")->text(), QStringLiteral("書き込み正常終了"));

    const Bytes written = ReadFile(flash);
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected) << "first difference at " << FirstDifference(written, expected);
    // The tail's marker made it into the last block.
    const std::string marker(written.begin() + static_cast<std::ptrdiff_t>(image.size() + 5),
                             written.begin() + static_cast<std::ptrdiff_t>(image.size() + 14));
    EXPECT_EQ(marker, "QVN060220");
}

INSTANTIATE_TEST_SUITE_P(
    , QtBoardFileKinds,
    ::testing::Values(FileKind{1, 0x0000, 200, 60, 90, 32, "\n", "S1ファイル解析完了"},
                      FileKind{2, 0x012340, 300, 84, 45, 16, "\r\n", "S2ファイル解析完了"},
                      FileKind{3, 0x00400000, 1000, 100, 333, 64, "\n", "S3ファイル解析完了"}),
    [](const ::testing::TestParamInfo<FileKind>& info) { return "S" + std::to_string(info.param.kind); });

TEST(QtBoard, RamWriteSendsTheRecordsToTheBoardsOwnProgram) {
    TempDir out;
    const auto log = out.path() / "sim.log";
    Writer w({"--log", log.string()});
    ASSERT_TRUE(w.sim.Started());
    const std::string first = DataRecord(3, 0x00FFE000, Pattern(16, 5));
    const std::string second = DataRecord(3, 0x00FFE010, Pattern(5, 6), "\r\n");
    // Line ends of either kind; the text behind the end record is never read.
    const auto file =
        w.dir.Write("ram.mot", Header("\r\n") + first + second + Termination(3) + "left over\n" + first);
    int dialogs = 0;
    w.toolkit.dialogRunner = [&](QFileDialog&) -> std::optional<std::string> {
        ++dialogs;
        return file.string();
    };

    w.ClickMain("Button2");  // VIEW: the monitor's port at 38400 bit/s
    ASSERT_TRUE(w.toolkit.Form2Window().isVisible());
    w.ClickMain("Button3");
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(w.toolkit.statuses, (Strings{"ファイル転送中です", "ファイル転送終了しました"}));
    EXPECT_EQ(w.form1.Busy, 0);
    ASSERT_TRUE(w.PumpUntil([&] { return w.MemoText().contains(QStringLiteral("ロード完了")); }))
        << w.MemoText().toStdString();
    EXPECT_TRUE(w.MemoText().contains(QStringLiteral("RAM: 2 records, 21 bytes ロード完了")))
        << w.MemoText().toStdString();

    ASSERT_EQ(w.sim.Stop(), 0);  // the log is complete
    const auto strip = [](std::string line) { return line.substr(0, line.find_first_of("\r\n")); };
    const std::string sent = strip(first) + "\r\n" + strip(second) + "\r\n" + "S7\r";
    EXPECT_EQ(HostBytes(ReadSimLog(log.string())), AsLogged(sent, 38400));
}

TEST(QtBoard, ADamagedFileIsNotProgrammed) {
    TempDir out;
    const auto log = out.path() / "sim.log", flash = out.path() / "flash.bin";
    Writer w({"--erase-ms", "100", "--log", log.string(), "--flash-out", flash.string()});
    ASSERT_TRUE(w.sim.Started());
    // A header and ten records holding 300 bytes, the file cut off inside the last one (line 11):
    // a block's worth and more was read before the fault.
    const std::string whole = SRecordFile(Pattern(300), 1, 0, 32);
    const std::string cut = whole.substr(0, whole.size() - Termination(1).size() - 20);
    const auto file = w.dir.Write("cut.mot", cut);
    w.toolkit.dialogRunner = [&](QFileDialog&) -> std::optional<std::string> { return file.string(); };

    w.ClickMain("Button1");
    EXPECT_EQ(w.toolkit.statuses.back(), "終端なしERR 11行");
    EXPECT_EQ(w.toolkit.Form1Window().As<QLabel>("Label3")->text(), QStringLiteral("終端なしERR 11行"));
    EXPECT_FALSE(Contains(w.toolkit.statuses, "ファイル転送－＞ＣＰＵボード"));
    EXPECT_EQ(w.form1.Busy, 0);
    EXPECT_EQ(w.toolkit.PumpDepth(), 0);

    // After the erase the writer chose the user MAT, and sent nothing more: no programming
    // command, no end of programming.
    ASSERT_EQ(w.sim.Stop(), 0);
    const auto events = ReadSimLog(log.string());
    const auto erased =
        std::find_if(events.begin(), events.end(), [](const SimLogLine& l) { return l.text == "erased"; });
    ASSERT_NE(erased, events.end());
    EXPECT_EQ(HostBytes({erased, events.end()}), Strings{"43 38400"});
    EXPECT_FALSE(std::filesystem::exists(flash));
}

}  // namespace
}  // namespace h8sx::test
