#include "gui/win32/Win32Toolkit.h"

#include <algorithm>
#include <exception>
#include <string>

#include "app/TForm1.h"
#include "gui/PumpScope.h"
#include "monitor/TForm2.h"
#include "platform/win32/WideText.h"

#include "platform/win32/WinApi.h"
#include <commctrl.h>
#include <commdlg.h>
#include <mmsystem.h>

namespace h8sx::win32 {

namespace {

// An exception that leaves a handler is shown in the standard error box and the program
// goes on; it must never unwind through the system's window procedures.
template <class F>
void Guarded(F&& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        MessageBoxW(nullptr, Widen(e.what()).c_str(), L"h8sx-writer", MB_OK | MB_ICONERROR);
    } catch (...) {
        MessageBoxW(nullptr, L"unknown exception", L"h8sx-writer", MB_OK | MB_ICONERROR);
    }
}

bool Checked(HWND button) { return SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED; }

// The edit control's line ends.
std::wstring WithCrLf(const std::string& utf8) {
    std::wstring out;
    for (wchar_t c : Widen(utf8)) {
        if (c == L'\n') out += L'\r';
        out += c;
    }
    return out;
}

}  // namespace

Win32Toolkit::Win32Toolkit(HINSTANCE instance)
    : form1Window_(std::make_unique<FormWindow>(MainWindowLayout(), instance)),
      form2Window_(std::make_unique<FormWindow>(MonitorWindowLayout(), instance)) {}

Win32Toolkit::~Win32Toolkit() {
    if (finePeriod_) timeEndPeriod(1);
}

void Win32Toolkit::Connect(TForm1& form1, TForm2& form2) {
    form1_ = &form1;
    form1Window_->onClick = [&form1](const ControlSpec& c, HWND h) {
        const std::string name = c.name;
        Guarded([&] {
            if (name == "Button1") form1.Button1Click();       // FWRITE
            else if (name == "Button2") form1.Button2Click();  // VIEW
            else if (name == "Button3") form1.Button3Click();  // RAM_WRITE
            else if (name == "CheckBox1") form1.SoundClicked(Checked(h));
            else if (name.rfind("RadioButton", 0) == 0) form1.PortButtonClicked(std::stoi(name.substr(11)) - 1);
        });
    };
    form2Window_->onClick = [&form2](const ControlSpec& c, HWND h) {
        const std::string name = c.name;
        Guarded([&] {
            if (c.keyIndex >= 0) form2.KeyClick(c.keyIndex);
            else if (name == "CheckBox1") form2.SmallLetter = Checked(h);
            else if (name == "Button42") form2.Button42Click();  // MON.CLR
            else if (name == "Button43") form2.Button43Click();  // CPU_RESET
        });
    };
    form1Window_->onTimer = [this] { Tick(); };
    form1Window_->onClose = [this] { CloseMainWindow(); };
    SetTimer(form1Window_->Handle(), kTimer1Id, kTimer1Ms, nullptr);
}

void Win32Toolkit::Tick() {
    if (finePeriod_ && !waitedSinceTick_) {
        timeEndPeriod(1);
        finePeriod_ = false;
    }
    waitedSinceTick_ = false;
    if (form1_) Guarded([this] { form1_->Timer1Timer(); });
}

void Win32Toolkit::ShowMainWindow() {
    ShowWindow(form1Window_->Handle(), SW_SHOWNORMAL);
    UpdateWindow(form1Window_->Handle());
    if (!shown_ && form1_) {
        shown_ = true;
        Guarded([this] { form1_->FormShow(); });
    }
}

void Win32Toolkit::CloseMainWindow() {
    // Closed from inside a handler's wait (an FWRITE, a reset, the open dialog): the
    // handler would go on with no window and no tick, so the program ends here and now.
    // Otherwise the main loop ends and the program returns.
    if (pumpDepth_ > 0 && form1_) {
        form1_->platform().ExitNow();
        return;
    }
    DestroyWindow(form1Window_->Handle());
    PostQuitMessage(0);
}

void Win32Toolkit::Dispatch(MSG& msg) {
    // The pointer comes to a port button: its hint is brought up to date before it shows,
    // so that an adapter plugged in meanwhile is there.
    if (msg.message == WM_MOUSEMOVE && msg.hwnd != hovered_) {
        hovered_ = msg.hwnd;
        if (toolTips_ && form1_ && IsPortButton(msg.hwnd)) Guarded([this] { form1_->ShowPortToolTips(); });
    }
    // Tab and the arrow keys move between the controls of either window.
    HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (root && IsDialogMessageW(root, &msg)) return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

int Win32Toolkit::Run() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) Dispatch(msg);
    return 0;
}

void Win32Toolkit::ProcessMessages() {
    PumpScope scope(pumpDepth_);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Only the closing of the main window posts it, and that ends the program.
            if (form1_) form1_->platform().ExitNow();
            ExitProcess(0);
        }
        Dispatch(msg);
    }
}

void Win32Toolkit::WaitAndProcessMessages() {
    // Sleeps until a message comes or a millisecond has passed: a byte on the port is
    // noticed within a couple of milliseconds without keeping a core busy.
    if (!finePeriod_) {
        timeBeginPeriod(1);
        finePeriod_ = true;
    }
    waitedSinceTick_ = true;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    ProcessMessages();
}

void Win32Toolkit::Beep() { MessageBeep(MB_OK); }

void Win32Toolkit::SetStatusText(const std::string& utf8) {
    HWND label = form1Window_->Control("Label3");
    SetWindowTextW(label, Widen(utf8).c_str());
    form1Window_->FitLabel(label);
}

void Win32Toolkit::SetProgress(int position, int maximum) {
    HWND bar = form1Window_->Control("ProgressBar1");
    // An empty scale stays an empty bar.
    SendMessageW(bar, PBM_SETRANGE32, 0, std::max(maximum, 1));
    SendMessageW(bar, PBM_SETPOS, std::clamp(position, 0, std::max(maximum, 0)), 0);
}

void Win32Toolkit::SetPortButton(int index) {
    for (int i = 0; i < kPortCount; ++i) {
        const std::string name = "RadioButton" + std::to_string(i + 1);
        SendMessageW(form1Window_->Control(name.c_str()), BM_SETCHECK, i == index ? BST_CHECKED : BST_UNCHECKED, 0);
    }
}

bool Win32Toolkit::IsPortButton(HWND h) const {
    for (int i = 1; i <= kPortCount; ++i)
        if (h == form1Window_->Control(("RadioButton" + std::to_string(i)).c_str())) return true;
    return false;
}

void Win32Toolkit::SetPortToolTip(int index, const std::string& utf8) {
    HWND button = form1Window_->Control(("RadioButton" + std::to_string(index + 1)).c_str());
    if (!button) return;
    if (!toolTips_) {
        INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TAB_CLASSES};
        InitCommonControlsEx(&icc);
        // Owned by the main window, which destroys it with itself.
        toolTips_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, form1Window_->Handle(),
                                    nullptr, GetModuleHandleW(nullptr), nullptr);
        if (!toolTips_) return;
    }
    std::wstring text = Widen(utf8);
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = form1Window_->Handle();
    tool.uId = reinterpret_cast<UINT_PTR>(button);
    tool.lpszText = text.data();  // the control keeps a copy of its own
    const unsigned bit = 1u << index;
    SendMessageW(toolTips_, (tipsAdded_ & bit) ? TTM_UPDATETIPTEXTW : TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    tipsAdded_ |= bit;
}

void Win32Toolkit::SetSoundBox(bool ticked) {
    SendMessageW(form1Window_->Control("CheckBox1"), BM_SETCHECK, ticked ? BST_CHECKED : BST_UNCHECKED, 0);
}

std::optional<std::string> Win32Toolkit::RunOpenDialog() {
    // "description\0patterns\0\0"
    std::wstring filter = Widen(kFileFilterName);
    filter += L'\0';
    filter += Widen(kFileFilterPatterns);
    filter += L'\0';
    std::wstring path(32768, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = form1Window_->Handle();
    ofn.lpstrFilter = filter.c_str();  // the string's own terminator ends the list
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path.data();
    ofn.nMaxFile = static_cast<DWORD>(path.size());
    ofn.Flags = OFN_READONLY | OFN_EXPLORER | OFN_ENABLESIZING;
    // The dialog runs its own loop: the tick and the other buttons stay live in it.
    PumpScope scope(pumpDepth_);
    if (!GetOpenFileNameW(&ofn)) return std::nullopt;
    path.resize(wcslen(path.c_str()));
    return Narrow(path);
}

void Win32Toolkit::ShowMonitorWindow() {
    HWND w = form2Window_->Handle();
    ShowWindow(w, IsIconic(w) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(w);
    BringWindowToTop(w);
}

void Win32Toolkit::AppendMonitorText(const std::string& utf8) {
    HWND memo = form2Window_->Control("Memo1");
    // Inserted at the end, then the operator's selection is put back as it was.
    DWORD selStart = 0, selEnd = 0;
    SendMessageW(memo, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
    const int end = GetWindowTextLengthW(memo);
    SendMessageW(memo, EM_SETSEL, end, end);
    SendMessageW(memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(WithCrLf(utf8).c_str()));
    SendMessageW(memo, EM_SETSEL, selStart, selEnd);
    // The newest line in view.
    SendMessageW(memo, WM_VSCROLL, SB_BOTTOM, 0);
}

void Win32Toolkit::ClearMonitorText() { SetWindowTextW(form2Window_->Control("Memo1"), L""); }

void Win32Toolkit::DropOldestMonitorLines(std::size_t lines, std::size_t characters) {
    HWND memo = form2Window_->Control("Memo1");
    // Here every line end is CR LF. The cut ends behind the last of the first `lines` line
    // ends found in the head of the text, so that what the operator typed in shifts it to
    // a line end, never into a line.
    std::wstring head(characters + lines + 1, L'\0');
    const auto got = static_cast<std::size_t>(
        SendMessageW(memo, WM_GETTEXT, head.size(), reinterpret_cast<LPARAM>(head.data())));
    std::size_t cut = 0, found = 0;
    for (std::size_t i = 0; i < got && found < lines; ++i)
        if (head[i] == L'\n') {
            cut = i + 1;
            ++found;
        }
    if (cut == 0) return;
    DWORD selStart = 0, selEnd = 0;
    SendMessageW(memo, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
    SendMessageW(memo, EM_SETSEL, 0, static_cast<LPARAM>(cut));
    SendMessageW(memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    const auto shifted = [cut](DWORD at) { return at > cut ? static_cast<WPARAM>(at - cut) : 0; };
    SendMessageW(memo, EM_SETSEL, shifted(selStart), static_cast<LPARAM>(shifted(selEnd)));
    SendMessageW(memo, WM_VSCROLL, SB_BOTTOM, 0);
}

}  // namespace h8sx::win32
