#include "app/Layout.h"

#include <array>
#include <cstring>

namespace h8sx {
namespace {

using namespace colors;

constexpr FontSpec kWindowFont{kProportionalGothic, 12, false, true};

constexpr std::array kMainControls{
    ControlSpec{"Label1", ControlKind::Label, 3, 0, 315, 15, "H8SX1622 FLASH ROM WRITER for 40MHz",
                nullptr, {kGothic, 15, true, false}, &Green},
    ControlSpec{"Label3", ControlKind::Label, 14, 22, 144, 12, "                                    ",
                nullptr, {}, &Red, &White},
    ControlSpec{"Button1", ControlKind::Button, 13, 40, 60, 25, "FWRITE"},
    ControlSpec{"Button3", ControlKind::Button, 88, 40, 75, 25, "RAM_WRITE"},
    ControlSpec{"CheckBox1", ControlKind::CheckBox, 192, 40, 65, 17, "SOUND", nullptr, {}, nullptr,
                nullptr, true},
    ControlSpec{"Label4", ControlKind::Label, 8, 72, 258, 12,
                "0%                  50%                100%", nullptr, {kGothic, 0}, &Red},
    ControlSpec{"ProgressBar1", ControlKind::ProgressBar, 16, 88, 241, 17, ""},
    ControlSpec{"GroupBox1", ControlKind::GroupBox, 16, 112, 137, 73, "SIO SEL", nullptr, {}, &Black},
    ControlSpec{"RadioButton1", ControlKind::RadioButton, 13, 16, 52, 17, "COM1", "GroupBox1", {},
                &Black, nullptr, true},
    ControlSpec{"RadioButton2", ControlKind::RadioButton, 13, 32, 52, 17, "COM2", "GroupBox1", {}, &Black},
    ControlSpec{"RadioButton3", ControlKind::RadioButton, 13, 48, 60, 17, "COM3", "GroupBox1", {}, &Black},
    ControlSpec{"RadioButton4", ControlKind::RadioButton, 72, 16, 57, 14, "COM4", "GroupBox1", {}, &Black},
    ControlSpec{"RadioButton5", ControlKind::RadioButton, 72, 32, 57, 17, "COM5", "GroupBox1", {}, &Black},
    ControlSpec{"RadioButton6", ControlKind::RadioButton, 72, 48, 57, 17, "COM6", "GroupBox1", {}, &Black},
    ControlSpec{"Button2", ControlKind::Button, 168, 120, 75, 25, "VIEW"},
    ControlSpec{"Label5", ControlKind::Label, 168, 152, 58, 12, "40MHz専用", nullptr, {}, &Navy},
    ControlSpec{"label2", ControlKind::Label, 14, 194, 288, 12, "h8sx-writer  flash writer & SIO monitor",
                nullptr, {kGothic, 0}, &Blue},
};

constexpr WindowSpec kMainWindow{"Form1", "Q.V.N", 260, 274, 333, 236, Silver, kWindowFont, Black, true,
                                 kMainControls};

// Monitor keys: letters in rows of six, 24 px apart, then digits and signs.
constexpr FontSpec kKeyFont{nullptr, 16};
constexpr int kKeyLeft[6] = {8, 32, 56, 80, 104, 128};

constexpr ControlSpec Key(const char* name, const char* caption, int index, int left, int top,
                          FontSpec font = {}, const Rgb* color = nullptr) {
    return ControlSpec{name, ControlKind::Button, left, top, 25, 25, caption, nullptr, font, color,
                       nullptr, false, index};
}

constexpr const char* kLetterNames[26] = {
    "Button1",  "Button2",  "Button3",  "Button4",  "Button5",  "Button6",  "Button7",
    "Button8",  "Button9",  "Button10", "Button11", "Button12", "Button13", "Button14",
    "Button15", "Button16", "Button17", "Button18", "Button19", "Button20", "Button21",
    "Button22", "Button23", "Button24", "Button25", "Button26"};
constexpr const char* kLetterCaptions[26] = {"A", "B", "C", "D", "E", "F", "G", "H", "I",
                                             "J", "K", "L", "M", "N", "O", "P", "Q", "R",
                                             "S", "T", "U", "V", "W", "X", "Y", "Z"};

constexpr auto MakeMonitorControls() {
    std::array<ControlSpec, 47> c{};
    std::size_t n = 0;
    c[n++] = ControlSpec{"Label2", ControlKind::Label, 8, 0, 146, 16, "115200bps\u3000Display", nullptr,
                         {nullptr, 16, true}, &Blue};
    for (int i = 0; i < 26; ++i)
        c[n++] = Key(kLetterNames[i], kLetterCaptions[i], i, kKeyLeft[i % 6], 24 + 24 * (i / 6), kKeyFont,
                     &Black);
    c[n++] = ControlSpec{"CheckBox1", ControlKind::CheckBox, 72, 128, 81, 17, "small letter"};
    constexpr const char* digitNames[10] = {"Button27", "Button28", "Button29", "Button30", "Button31",
                                            "Button32", "Button33", "Button34", "Button35", "Button36"};
    constexpr const char* digitCaptions[10] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
    for (int i = 0; i < 10; ++i)
        c[n++] = i < 6 ? Key(digitNames[i], digitCaptions[i], 26 + i, kKeyLeft[i], 160)
                       : Key(digitNames[i], digitCaptions[i], 26 + i, kKeyLeft[i - 6], 184);
    constexpr const char* signNames[4] = {"Button37", "Button38", "Button39", "Button40"};
    constexpr const char* signCaptions[4] = {"/", "*", "-", "+"};
    for (int i = 0; i < 4; ++i) c[n++] = Key(signNames[i], signCaptions[i], 36 + i, kKeyLeft[i], 208);
    c[n++] = ControlSpec{"Button41", ControlKind::Button, 104, 184, 49, 49, "Enter", nullptr, {}, nullptr,
                         nullptr, false, 40};
    c[n++] = ControlSpec{"Memo1", ControlKind::Memo, 160, 24, 289, 153, "", nullptr, {nullptr, 16},
                         &Black, &White};
    c[n++] = ControlSpec{"Button42", ControlKind::Button, 160, 200, 75, 25, "MON.CLR"};
    c[n++] = ControlSpec{"Button43", ControlKind::Button, 344, 200, 105, 25, "CPU_RESET", nullptr, {},
                         &Blue};
    // Sized to its text: width and height 0.
    c[n++] = ControlSpec{"Label1", ControlKind::Label, 8, 240, 0, 0, "h8sx-writer SIO monitor", nullptr,
                         {}, &Green};
    return c;
}

constexpr auto kMonitorControls = MakeMonitorControls();

constexpr WindowSpec kMonitorWindow{"Form2",    "SIO MONITOR & KEYBOARD", 612, 276, 473, 290, ButtonFace,
                                    kWindowFont, Blue, false, kMonitorControls};

}  // namespace

const WindowSpec& MainWindowLayout() { return kMainWindow; }
const WindowSpec& MonitorWindowLayout() { return kMonitorWindow; }

const ControlSpec* FindControl(const WindowSpec& window, const char* name) {
    for (const ControlSpec& c : window.controls)
        if (std::strcmp(c.name, name) == 0) return &c;
    return nullptr;
}

}  // namespace h8sx
