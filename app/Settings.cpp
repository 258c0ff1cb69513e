#include "app/Settings.h"

#include <cstdio>

#include "app/TForm1.h"
#include "app/Texts.h"
#include "serial/BitRates.h"

namespace h8sx {

std::string SettingsPath(Platform& platform) { return platform.SettingsDirectory() + kSettingsFileName; }

std::optional<std::array<unsigned char, 3>> ReadSettings(Platform& platform) {
    const UniqueFile f(platform.OpenFile(SettingsPath(platform), "r"));
    if (!f) return std::nullopt;
    std::array<unsigned char, 3> settings{};
    for (unsigned char& c : settings) c = static_cast<unsigned char>(std::fgetc(f.get()));
    return settings;
}

std::optional<int> SettingsPortIndex(unsigned char digit) {
    if (digit < '1' || digit > '0' + kPortCount) return std::nullopt;
    return digit - '1';
}

std::string TForm1::SettingsPath() const { return h8sx::SettingsPath(platform_); }

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
    if (const auto read = ReadSettings(platform_)) {
        Settings = *read;
        if (const auto port = SettingsPortIndex(Settings[0])) TickPortFromCode(*port);
        TickSoundFromCode(Settings[1] == '1');
        ReportOpenFailure = 0;
        OpenComPort(SelectedPortName(), kMatchingBitRate);
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
