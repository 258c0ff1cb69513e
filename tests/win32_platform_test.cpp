// The Windows platform layer on its own: a port that is not there, the program's
// directory, UTF-8 file names, and the immediate exit of a failed open.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/TForm1.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/Win32Serial.h"
#include "platform/win32/WideText.h"
#include "platform/win32/WinApi.h"

namespace h8sx::win32 {
namespace {

TEST(Win32SerialDevice, APortThatIsNotThereFailsEveryCall) {
    Win32SerialDevice dev;
    // The test prefix wires COM1 alone; nothing stands behind COM6.
    const ComHandleValue h = dev.CreateFile("COM6");
    ASSERT_EQ(h, kInvalidHandle);
    Dcb dcb;
    EXPECT_FALSE(dev.GetCommState(h, dcb));
    EXPECT_FALSE(dev.SetCommState(h, dcb));
    EXPECT_FALSE(dev.SetupComm(h, 50000, 50000));
    EXPECT_FALSE(dev.PurgeReceive(h));
    EXPECT_EQ(dev.BytesWaiting(h), 0u);
    std::uint8_t b = 0x55;
    EXPECT_EQ(dev.Write(h, &b, 1), 0u);
    EXPECT_EQ(dev.Read(h, &b, 1), 0u);
    EXPECT_FALSE(dev.EscapeCommFunction(h, Escape::SETDTR));
    // Neither the null handle nor the failed one is ever passed on to CloseHandle.
    EXPECT_FALSE(dev.CloseHandle(h));
    EXPECT_FALSE(dev.CloseHandle(kNullHandle));
}

TEST(Win32Text, RoundTripsJapanese) {
    const std::string text = "ＣＯＭポートオープンできません。終了します。";
    EXPECT_EQ(Widen(text).size(), 22u);
    EXPECT_EQ(Narrow(Widen(text)), text);
    EXPECT_EQ(Widen(""), L"");
}

TEST(Win32Platform, ExecutableDirectoryHoldsTheProgram) {
    Win32Platform platform;
    const std::string dir = platform.ExecutableDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '\\');
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::string name = Narrow(std::filesystem::path(self).filename().wstring());
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(Widen(dir + name))));
}

TEST(Win32Platform, OpensFilesByUtf8Names) {
    Win32Platform platform;
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / L"h8sx-win32-テスト";
    std::filesystem::create_directories(dir);
    const std::string path = Narrow((dir / L"書き込み.MOT").wstring());

    std::FILE* out = platform.OpenFile(path, "w");
    ASSERT_NE(out, nullptr);
    std::fputs("S00600004844521B\n", out);
    std::fclose(out);
    // The file bears the Japanese name, not a mangled one.
    EXPECT_TRUE(std::filesystem::exists(dir / L"書き込み.MOT"));

    std::FILE* in = platform.OpenFile(path, "r");
    ASSERT_NE(in, nullptr);
    char line[32] = {};
    EXPECT_NE(std::fgets(line, sizeof line, in), nullptr);
    std::fclose(in);
    EXPECT_STREQ(line, "S00600004844521B\n");
    EXPECT_EQ(platform.OpenFile(Narrow((dir / L"ない.MOT").wstring()), "r"), nullptr);
    std::filesystem::remove_all(dir);
}

// A toolkit without windows: its pump sleeps a millisecond and ticks every 100 ms.
class ConsoleToolkit : public Toolkit {
public:
    TForm1* form = nullptr;
    void ProcessMessages() override {
        const ULONGLONG now = GetTickCount64();
        if (now >= nextTick_) {
            nextTick_ = now + 100;
            if (form) form->Timer1Timer();
        }
    }
    void WaitAndProcessMessages() override {
        Sleep(1);
        ProcessMessages();
    }
    void Beep() override { std::fputs("beep\n", stderr); }
    void SetStatusText(const std::string& t) override { std::fprintf(stderr, "status:%s\n", t.c_str()); }
    void SetProgress(int, int) override {}
    void SetPortButton(int) override {}
    void SetSoundBox(bool) override {}
    std::optional<std::string> RunOpenDialog() override { return std::nullopt; }
    void ShowMonitorWindow() override {}
    void AppendMonitorText(const std::string&) override {}
    void ClearMonitorText() override {}

private:
    ULONGLONG nextTick_ = GetTickCount64() + 100;
};

TEST(Win32PlatformDeathTest, AFailedOpenEndsTheProgramWithStatusZero) {
    Win32SerialDevice dev;
    Win32Platform platform;
    ConsoleToolkit toolkit;
    TForm1 form1(dev, toolkit, platform);
    toolkit.form = &form1;
    form1.ReportOpenFailure = 1;
    // The message, two seconds of live windows, then the end, with nothing after it.
    EXPECT_EXIT(
        {
            form1.OpenComPort("COM6", 19200);
            std::fputs("went on after the exit\n", stderr);
            std::exit(3);
        },
        ::testing::ExitedWithCode(0), "status:ＣＯＭポートオープンできません。終了します。");
}

TEST(Win32Platform, AFailedOpenAtStartUpPassesInSilence) {
    Win32SerialDevice dev;
    Win32Platform platform;
    ConsoleToolkit toolkit;
    TForm1 form1(dev, toolkit, platform);
    toolkit.form = &form1;
    form1.OpenComPort("COM6", 19200);  // ReportOpenFailure clear
    EXPECT_EQ(form1.Link().ComHandle, kInvalidHandle);
    EXPECT_NE(form1.StatusText(), "ＣＯＭポートオープンできません。終了します。");
}

}  // namespace
}  // namespace h8sx::win32
