// The two windows as data: every position, caption, font and colour lives here once, and
// each front end builds its widgets from these tables.
#pragma once

#include <cstdint>
#include <span>

namespace h8sx {

enum class ControlKind { Label, Button, CheckBox, RadioButton, GroupBox, ProgressBar, Memo };

struct Rgb {
    std::uint8_t r, g, b;
    friend constexpr bool operator==(Rgb, Rgb) = default;
};

namespace colors {
inline constexpr Rgb Black{0x00, 0x00, 0x00};
inline constexpr Rgb White{0xFF, 0xFF, 0xFF};
inline constexpr Rgb Silver{0xC0, 0xC0, 0xC0};
inline constexpr Rgb Red{0xFF, 0x00, 0x00};
inline constexpr Rgb Green{0x00, 0x80, 0x00};
inline constexpr Rgb Navy{0x00, 0x00, 0x80};
inline constexpr Rgb Blue{0x00, 0x00, 0xFF};
inline constexpr Rgb ButtonFace{0xF0, 0xF0, 0xF0};
}  // namespace colors

// Font faces as the window was drawn with them; front ends fall back to an installed
// face of the same design (a CJK gothic) where these are missing.
inline constexpr const char* kProportionalGothic = "ＭＳ Ｐゴシック";
inline constexpr const char* kGothic = "ＭＳ ゴシック";

struct FontSpec {
    const char* face = nullptr;  // nullptr: the window's font
    int pixelHeight = 0;         // 0: the window's height
    bool bold = false;
    bool shiftJis = true;        // character set: Shift-JIS, else Western
};

struct ControlSpec {
    const char* name;
    ControlKind kind;
    int left, top, width, height;  // within the client area, or the group box
    const char* caption;           // UTF-8
    const char* parent = nullptr;  // group box name, or nullptr for the window
    FontSpec font{};
    const Rgb* color = nullptr;       // text colour; nullptr: the window's
    const Rgb* background = nullptr;  // nullptr: the window's
    bool checked = false;             // check box and radio buttons at start
    int keyIndex = -1;                // monitor keys: 0..40 for Button1..Button41
};

struct WindowSpec {
    const char* name;
    const char* caption;
    int left, top, width, height;  // on screen; outer size
    Rgb background;
    FontSpec font;
    Rgb color;
    bool visibleAtStart;
    std::span<const ControlSpec> controls;
};

const WindowSpec& MainWindowLayout();
const WindowSpec& MonitorWindowLayout();
const ControlSpec* FindControl(const WindowSpec& window, const char* name);

// The open dialog's one filter: its description and its patterns.
inline constexpr const char* kFileFilterName = "MOTファイル(*.MOT,*.S)";
inline constexpr const char* kFileFilterPatterns = "*.MOT*;*.S";

}  // namespace h8sx
