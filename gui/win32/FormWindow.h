// A top-level window built from one of the layout tables: every control at its place in
// pixels (client coordinates) scaled to the screen's DPI, with its caption, font and
// colours, found by its form name.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/Layout.h"

#include "platform/win32/WinApi.h"

namespace h8sx::win32 {

// Control n of a window's table has the child-window ID kFirstControlId + n: clear of
// IDOK and IDCANCEL, which the dialog keys send.
inline constexpr int kFirstControlId = 100;
// The main window's 100 ms timer.
inline constexpr UINT_PTR kTimer1Id = 1;
inline constexpr UINT kTimer1Ms = 100;

// The windows' class, by which a test finds them.
inline constexpr const wchar_t* kFormClass = L"H8sxForm";

class FormWindow {
public:
    // Builds the window and its controls, hidden.
    FormWindow(const WindowSpec& spec, HINSTANCE instance);
    ~FormWindow();
    FormWindow(const FormWindow&) = delete;
    FormWindow& operator=(const FormWindow&) = delete;

    const WindowSpec& Spec() const { return spec_; }
    HWND Handle() const { return hwnd_; }
    // The control of that form name ("Button1", "Memo1"...), or nullptr.
    HWND Control(const char* name) const;
    // Sizes a label to its text, no smaller than laid out.
    void FitLabel(HWND label);

    // A button, check box or radio button was clicked (its state already changed).
    std::function<void(const ControlSpec&, HWND)> onClick;
    // The window's timer fired.
    std::function<void()> onTimer;
    // The operator closes the window; without it, closing only hides the window.
    std::function<void()> onClose;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp);
    void Build(const ControlSpec& c, int index);
    // Places the controls, their fonts and the window's size at that DPI; the window moves
    // to `at` (the system's suggestion on a change of DPI), or stays where it is.
    void LayOut(UINT dpi, const RECT* at);
    // The window's size for its client area at its DPI, moved to `at` or staying.
    void SizeWindow(const RECT* at);
    // A length from the table at the window's DPI.
    int Px(int tablePixels) const;
    // A control's place in the client area at the window's DPI.
    RECT Place(const ControlSpec& c) const;
    // The window's outer size at a DPI.
    SIZE OuterSizeAt(UINT dpi) const;
    HFONT FontFor(const FontSpec& own);
    HBRUSH BrushFor(Rgb colour);
    const ControlSpec* SpecOf(HWND control) const;
    Rgb TextColour(const ControlSpec& c) const { return c.color ? *c.color : spec_.color; }
    Rgb Background(const ControlSpec& c) const { return c.background ? *c.background : spec_.background; }
    LRESULT ColourControl(HDC dc, HWND control);
    void DrawColouredButton(const DRAWITEMSTRUCT& item);
    void DrawLabel(const DRAWITEMSTRUCT& item);
    int EmHeight(const ControlSpec& c) const;

    const WindowSpec& spec_;
    HWND hwnd_ = nullptr;
    UINT dpi_;
    SIZE tableClient_;  // the client area at the tables' DPI
    std::vector<HWND> controls_;  // by table index
    std::vector<std::pair<std::wstring, HFONT>> fonts_;
    std::vector<std::pair<COLORREF, HBRUSH>> brushes_;
};

COLORREF ColorRef(Rgb c);

// The face that stands for a table's face: itself where installed, else an installed
// gothic of the same design (proportional or fixed).
std::wstring InstalledFace(const char* face);

}  // namespace h8sx::win32
