#include "gui/win32/FormWindow.h"

#include <commctrl.h>
#include <uxtheme.h>
#include <vssym32.h>

#include <algorithm>
#include <cstring>

#include "app/TForm1.h"
#include "gui/win32/Dpi.h"
#include "platform/win32/WideText.h"

namespace h8sx::win32 {

namespace {

// Installed faces of the same design, tried in order where a table's face is missing.
const wchar_t* const kProportionalFallbacks[] = {L"MS PGothic", L"Meiryo UI", L"Yu Gothic UI",
                                                  L"Noto Sans CJK JP", L"Droid Sans Fallback"};
const wchar_t* const kFixedFallbacks[] = {L"MS Gothic", L"Noto Sans Mono CJK JP", L"Noto Sans CJK JP",
                                          L"Droid Sans Fallback"};

constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kFormExStyle = WS_EX_CONTROLPARENT;

int CALLBACK FaceFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0;
}

bool FaceInstalled(const std::wstring& face) {
    LOGFONTW lf{};
    lf.lfCharSet = DEFAULT_CHARSET;
    wcsncpy(lf.lfFaceName, face.c_str(), LF_FACESIZE - 1);
    bool found = false;
    HDC dc = GetDC(nullptr);
    EnumFontFamiliesExW(dc, &lf, FaceFound, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, dc);
    return found;
}

DWORD StyleOf(const ControlSpec& c, Rgb text) {
    DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    switch (c.kind) {
        // Drawn by the window, so that the text sits in its laid-out height whatever the
        // line spacing of the face that stands in for the original.
        case ControlKind::Label: return style | SS_OWNERDRAW;
        case ControlKind::Button:
            // A caption in another colour than the system's is drawn by the window.
            return style | WS_TABSTOP | (text == colors::Black ? BS_PUSHBUTTON : BS_OWNERDRAW);
        case ControlKind::CheckBox: return style | WS_TABSTOP | BS_AUTOCHECKBOX;
        case ControlKind::RadioButton: return style | BS_AUTORADIOBUTTON;
        case ControlKind::GroupBox: return style | BS_GROUPBOX;
        case ControlKind::ProgressBar: return style;
        case ControlKind::Memo:
            return style | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN;
    }
    return style;
}

const wchar_t* ClassOf(ControlKind kind) {
    switch (kind) {
        case ControlKind::Label: return L"STATIC";
        case ControlKind::ProgressBar: return PROGRESS_CLASSW;
        case ControlKind::Memo: return L"EDIT";
        default: return L"BUTTON";
    }
}

void RegisterFormClass(HINSTANCE instance, WNDPROC proc) {
    static bool registered = false;
    if (registered) return;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    wc.lpszClassName = kFormClass;
    RegisterClassExW(&wc);
    registered = true;
}

}  // namespace

COLORREF ColorRef(Rgb c) { return RGB(c.r, c.g, c.b); }

std::wstring InstalledFace(const char* face) {
    const std::wstring wanted = Widen(face);
    if (FaceInstalled(wanted)) return wanted;
    const bool fixed = std::strcmp(face, kGothic) == 0;
    const auto* first = fixed ? std::begin(kFixedFallbacks) : std::begin(kProportionalFallbacks);
    const auto* last = fixed ? std::end(kFixedFallbacks) : std::end(kProportionalFallbacks);
    for (const auto* f = first; f != last; ++f)
        if (FaceInstalled(*f)) return *f;
    return wanted;  // the font mapper picks one of the character set
}

FormWindow::FormWindow(const WindowSpec& spec, HINSTANCE instance) : spec_(spec), dpi_(SystemDpi()) {
    RegisterFormClass(instance, Proc);
    // The table gives the outer size at 96 DPI; the client area is what the frame of 96 DPI
    // leaves of it, and that is what scales, the frame being the system's at each DPI.
    const SIZE frame = OuterSize({0, 0}, kFormStyle, kFormExStyle, kTableDpi);
    tableClient_ = {spec.width - frame.cx, spec.height - frame.cy};
    // Controls sit in client coordinates. The window paints its background beneath the
    // controls too (no WS_CLIPCHILDREN): a group box draws only its frame and caption.
    const SIZE outer = OuterSizeAt(dpi_);
    hwnd_ = CreateWindowExW(kFormExStyle, kFormClass, Widen(spec.caption).c_str(), kFormStyle, Px(spec.left),
                            Px(spec.top), outer.cx, outer.cy, nullptr, nullptr, instance, this);
    controls_.assign(spec.controls.size(), nullptr);
    for (std::size_t i = 0; i < spec.controls.size(); ++i) Build(spec.controls[i], static_cast<int>(i));
    // Group boxes go beneath every other control, so that their buttons are drawn over them.
    for (std::size_t i = 0; i < spec.controls.size(); ++i)
        if (spec.controls[i].kind == ControlKind::GroupBox)
            SetWindowPos(controls_[i], HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    // A screen of another DPI than the primary one.
    if (const UINT dpi = WindowDpi(hwnd_); dpi != dpi_)
        LayOut(dpi, nullptr);
    else
        SizeWindow(nullptr);
}

FormWindow::~FormWindow() {
    if (IsWindow(hwnd_)) DestroyWindow(hwnd_);
    for (auto& f : fonts_) DeleteObject(f.second);
    for (auto& b : brushes_) DeleteObject(b.second);
}

HWND FormWindow::Control(const char* name) const {
    for (std::size_t i = 0; i < spec_.controls.size(); ++i)
        if (std::strcmp(spec_.controls[i].name, name) == 0) return controls_[i];
    return nullptr;
}

const ControlSpec* FormWindow::SpecOf(HWND control) const {
    for (std::size_t i = 0; i < controls_.size(); ++i)
        if (controls_[i] == control) return &spec_.controls[i];
    return nullptr;
}

HFONT FormWindow::FontFor(const FontSpec& own) {
    const FontSpec& w = spec_.font;
    const char* face = own.face ? own.face : w.face;
    const int height = Px(own.pixelHeight ? own.pixelHeight : w.pixelHeight);
    const BYTE charset = own.shiftJis ? SHIFTJIS_CHARSET : ANSI_CHARSET;
    const std::wstring key = Widen(face) + L'/' + std::to_wstring(height) + (own.bold ? L"b" : L"") +
                             std::to_wstring(charset);
    for (auto& f : fonts_)
        if (f.first == key) return f.second;
    // A negative height is the characters' own height in pixels.
    HFONT font = CreateFontW(-height, 0, 0, 0, own.bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, charset,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                             InstalledFace(face).c_str());
    fonts_.emplace_back(key, font);
    return font;
}

HBRUSH FormWindow::BrushFor(Rgb colour) {
    const COLORREF ref = ColorRef(colour);
    for (auto& b : brushes_)
        if (b.first == ref) return b.second;
    HBRUSH brush = CreateSolidBrush(ref);
    brushes_.emplace_back(ref, brush);
    return brush;
}

int FormWindow::Px(int tablePixels) const { return Scale(tablePixels, dpi_); }

RECT FormWindow::Place(const ControlSpec& c) const {
    int left = c.left, top = c.top;
    if (c.parent) {
        // Placed within the group box; a sibling of it, so that its clicks reach the window.
        if (const ControlSpec* box = FindControl(spec_, c.parent)) {
            left += box->left;
            top += box->top;
        }
    }
    const int x = Px(left), y = Px(top);
    return {x, y, x + Px(c.width), y + Px(c.height)};
}

SIZE FormWindow::OuterSizeAt(UINT dpi) const {
    const SIZE client{Scale(tableClient_.cx, dpi), Scale(tableClient_.cy, dpi)};
    return OuterSize(client, kFormStyle, kFormExStyle, dpi);
}

void FormWindow::LayOut(UINT dpi, const RECT* at) {
    dpi_ = dpi;
    // Fonts of the new height for every control; those of the old go once none uses them.
    const auto oldFonts = std::move(fonts_);
    fonts_.clear();
    const BOOL redraw = IsWindowVisible(hwnd_);
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        const ControlSpec& c = spec_.controls[i];
        const RECT r = Place(c);
        SetWindowPos(controls_[i], nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(controls_[i], WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(c.font)), redraw);
        if (c.kind == ControlKind::Label) FitLabel(controls_[i]);
    }
    for (const auto& f : oldFonts) DeleteObject(f.second);
    SizeWindow(at);
    if (redraw) InvalidateRect(hwnd_, nullptr, TRUE);
}

void FormWindow::SizeWindow(const RECT* at) {
    const SIZE outer = OuterSizeAt(dpi_);
    SetWindowPos(hwnd_, nullptr, at ? at->left : 0, at ? at->top : 0, outer.cx, outer.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE | (at ? 0 : SWP_NOMOVE));
    // Where the frame the system draws is not the one reckoned with (the frame scaled from
    // the system DPI's on older systems), the client area is made up to the laid-out one.
    RECT client;
    if (IsIconic(hwnd_) || !GetClientRect(hwnd_, &client)) return;
    const int dx = Px(tableClient_.cx) - client.right, dy = Px(tableClient_.cy) - client.bottom;
    if (dx || dy)
        SetWindowPos(hwnd_, nullptr, 0, 0, outer.cx + dx, outer.cy + dy,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void FormWindow::Build(const ControlSpec& c, int index) {
    const RECT r = Place(c);
    DWORD style = StyleOf(c, TextColour(c));
    // The group box is drawn beneath its buttons and must not clip them away.
    if (c.kind == ControlKind::GroupBox) style &= ~WS_CLIPSIBLINGS;
    // Each run of radio buttons is one group; the control after it starts the next.
    const bool firstOfGroup =
        c.kind == ControlKind::RadioButton && (index == 0 || spec_.controls[index - 1].kind != ControlKind::RadioButton);
    const bool afterGroup = index > 0 && c.kind != ControlKind::RadioButton &&
                            spec_.controls[index - 1].kind == ControlKind::RadioButton;
    if (firstOfGroup) style |= WS_GROUP | WS_TABSTOP;
    if (afterGroup) style |= WS_GROUP;
    const DWORD exStyle = c.kind == ControlKind::Memo ? WS_EX_CLIENTEDGE : 0;

    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hwnd_, GWLP_HINSTANCE));
    HWND h = CreateWindowExW(exStyle, ClassOf(c.kind), Widen(c.caption).c_str(), style, r.left, r.top,
                             r.right - r.left, r.bottom - r.top, hwnd_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + index)), instance,
                             nullptr);
    controls_[index] = h;
    HFONT font = FontFor(c.font);
    SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);

    switch (c.kind) {
        case ControlKind::Label:
            FitLabel(h);
            break;
        case ControlKind::CheckBox:
        case ControlKind::RadioButton:
            SendMessageW(h, BM_SETCHECK, c.checked ? BST_CHECKED : BST_UNCHECKED, 0);
            break;
        case ControlKind::ProgressBar:
            SendMessageW(h, PBM_SETRANGE32, 0, kProgressInitialMax);
            SendMessageW(h, PBM_SETPOS, 0, 0);
            break;
        case ControlKind::Memo:
            // No limit but memory: the text grows until MON.CLR.
            SendMessageW(h, EM_SETLIMITTEXT, 0, 0);
            SetWindowTextW(h, L"\r\n");  // one empty line
            break;
        default: break;
    }
}

LRESULT CALLBACK FormWindow::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* self = static_cast<FormWindow*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<FormWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return self ? self->OnMessage(msg, wp, lp) : DefWindowProcW(hwnd, msg, wp, lp);
}

int FormWindow::EmHeight(const ControlSpec& c) const {
    return Px(c.font.pixelHeight ? c.font.pixelHeight : spec_.font.pixelHeight);
}

void FormWindow::FitLabel(HWND label) {
    const ControlSpec* c = SpecOf(label);
    if (!c) return;
    // A label grows with its text, as far as the text reaches (the status line's texts
    // run longer than its 36 blanks), and never shrinks below its laid-out size.
    const int length = GetWindowTextLengthW(label);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(label, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(length));
    HDC dc = GetDC(label);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), length, &size);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    const int width = std::max<int>(Px(c->width), size.cx);
    const int height = c->height ? Px(c->height) : EmHeight(*c) + Px(2);
    RECT r;
    GetWindowRect(label, &r);
    if (r.right - r.left != width || r.bottom - r.top != height)
        SetWindowPos(label, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void FormWindow::DrawLabel(const DRAWITEMSTRUCT& item) {
    const ControlSpec* c = SpecOf(item.hwndItem);
    if (!c) return;
    FillRect(item.hDC, &item.rcItem, BrushFor(Background(*c)));
    const int length = GetWindowTextLengthW(item.hwndItem);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(item.hwndItem, text.data(), length + 1);
    HGDIOBJ old = SelectObject(item.hDC, reinterpret_cast<HFONT>(SendMessageW(item.hwndItem, WM_GETFONT, 0, 0)));
    // The em box at the top of the label: a face with more line spacing than the
    // original would otherwise push the glyphs below the label's bottom.
    TEXTMETRICW tm{};
    GetTextMetricsW(item.hDC, &tm);
    const int emAscent = (EmHeight(*c) * 88 + 50) / 100;
    const int shift = std::max<int>(0, tm.tmAscent - emAscent);
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, ColorRef(TextColour(*c)));
    TextOutW(item.hDC, item.rcItem.left, item.rcItem.top - shift, text.c_str(), length);
    SelectObject(item.hDC, old);
}

LRESULT FormWindow::ColourControl(HDC dc, HWND control) {
    const ControlSpec* c = SpecOf(control);
    const Rgb text = c ? TextColour(*c) : spec_.color;
    const Rgb back = c ? Background(*c) : spec_.background;
    SetTextColor(dc, ColorRef(text));
    SetBkColor(dc, ColorRef(back));
    return reinterpret_cast<LRESULT>(BrushFor(back));
}

void FormWindow::DrawColouredButton(const DRAWITEMSTRUCT& item) {
    const ControlSpec* c = SpecOf(item.hwndItem);
    RECT r = item.rcItem;
    const bool pressed = item.itemState & ODS_SELECTED;
    FillRect(item.hDC, &r, BrushFor(spec_.background));
    if (HTHEME theme = OpenThemeData(item.hwndItem, L"BUTTON")) {
        DrawThemeBackground(theme, item.hDC, BP_PUSHBUTTON, pressed ? PBS_PRESSED : PBS_NORMAL, &r, nullptr);
        CloseThemeData(theme);
    } else {
        DrawFrameControl(item.hDC, &r, DFC_BUTTON, DFCS_BUTTONPUSH | (pressed ? DFCS_PUSHED : 0));
    }
    if (c) {
        const std::wstring text = Widen(c->caption);
        RECT t = r;
        if (pressed) OffsetRect(&t, 1, 1);
        SetBkMode(item.hDC, TRANSPARENT);
        SetTextColor(item.hDC, ColorRef(TextColour(*c)));
        DrawTextW(item.hDC, text.c_str(), static_cast<int>(text.size()), &t,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    }
    if (item.itemState & ODS_FOCUS) {
        InflateRect(&r, -Px(3), -Px(3));
        DrawFocusRect(item.hDC, &r);
    }
}

LRESULT FormWindow::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_ERASEBKGND: {
            RECT r;
            GetClientRect(hwnd_, &r);
            FillRect(reinterpret_cast<HDC>(wp), &r, BrushFor(spec_.background));
            return 1;
        }
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLOREDIT:
            return ColourControl(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp));
        case WM_CTLCOLORBTN:
            return reinterpret_cast<LRESULT>(BrushFor(spec_.background));
        case WM_DRAWITEM: {
            const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
            if (item.CtlType == ODT_STATIC)
                DrawLabel(item);
            else
                DrawColouredButton(item);
            return TRUE;
        }
        case WM_COMMAND: {
            const int code = HIWORD(wp);
            const int index = LOWORD(wp) - kFirstControlId;
            // A quick second click on an owner-drawn button or a radio button comes as a
            // double click: it is a click as well.
            if ((code == BN_CLICKED || code == BN_DOUBLECLICKED) && index >= 0 &&
                index < static_cast<int>(controls_.size()) && onClick) {
                const ControlSpec& c = spec_.controls[index];
                if (c.kind == ControlKind::Button || c.kind == ControlKind::CheckBox ||
                    c.kind == ControlKind::RadioButton)
                    onClick(c, controls_[index]);
                return 0;
            }
            break;
        }
        case WM_GETDPISCALEDSIZE:
            // The size at the new DPI is the laid-out one, not the old one stretched.
            *reinterpret_cast<SIZE*>(lp) = OuterSizeAt(LOWORD(wp));
            return TRUE;
        case WM_DPICHANGED:
            // Moved to a screen of another scale, or the scale changed.
            LayOut(LOWORD(wp), reinterpret_cast<const RECT*>(lp));
            return 0;
        case WM_TIMER:
            if (wp == kTimer1Id && onTimer) onTimer();
            return 0;
        case WM_CLOSE:
            if (onClose)
                onClose();
            else
                ShowWindow(hwnd_, SW_HIDE);
            return 0;
        default: break;
    }
    return DefWindowProcW(hwnd_, msg, wp, lp);
}

}  // namespace h8sx::win32
