// The settings file: three characters (port digit, sound flag and a reserved character)
// in Platform::SettingsDirectory (beside the program, unless the platform keeps it
// elsewhere); read when the main window is first shown and rewritten at once whenever
// the operator changes the port or SOUND.
#include <cstdio>

#include "app/TForm1.h"
#include "app/Texts.h"

namespace h8sx {

namespace {
constexpr std::uint32_t kStartupBitRate = 19200;
}  // namespace

std::string TForm1::SettingsPath() const { return platform_.SettingsDirectory() + kSettingsFileName; }

void TForm1::SaveSettings() {
    std::FILE* f = platform_.OpenFile(SettingsPath(), "w");
    if (f == nullptr) {
        ShowStatus(text::kNoDataFile);
        return;
    }
    for (unsigned char c : Settings) std::fputc(c, f);
    std::fclose(f);
}

void TForm1::RadioButtonClick(int index) {
    Settings[0] = static_cast<unsigned char>('1' + index);
    SaveSettings();
}

void TForm1::CheckBox1Click() {
    Settings[1] = soundTicked_ ? '1' : '0';
    SaveSettings();
}

void TForm1::FormShow() {
    Busy = 1;
    MonitorPortOpen = 0;
    if (std::FILE* f = platform_.OpenFile(SettingsPath(), "r")) {
        // A position past the end of the file holds the end-of-file value cut to a byte.
        for (unsigned char& c : Settings) c = static_cast<unsigned char>(std::fgetc(f));
        std::fclose(f);
        if (Settings[0] >= '1' && Settings[0] <= '6') TickPortFromCode(Settings[0] - '1');
        TickSoundFromCode(Settings[1] == '1');
        ReportOpenFailure = 0;
        OpenComPort(SelectedPortName(), kStartupBitRate);
        ReportOpenFailure = 1;
    } else if (std::FILE* g = platform_.OpenFile(SettingsPath(), "w")) {
        Settings = {'1', '1', '3'};
        for (unsigned char c : Settings) std::fputc(c, g);
        std::fclose(g);
    } else {
        ShowStatus(text::kNoDataFile);
    }
    Busy = 0;
    ShowPortToolTips();
}

}  // namespace h8sx
