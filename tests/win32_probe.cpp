// Drives a running h8sx-writer.exe from outside, as an operator would: clicks its buttons
// and reads its status line. Used by the front-end test under wine.
//
//   win32_probe wait-window SECONDS          until the main window is shown (the writer
//                                            shows it once both windows are made)
//   win32_probe click FORM CONTROL           posts a click ("Form1" "Button1": FWRITE)
//   win32_probe text FORM CONTROL            prints the control's text
//   win32_probe wait-text FORM CONTROL SECONDS TEXT
//                                            until the control's text holds TEXT
//   win32_probe press FORM CONTROL SECONDS   clicks until the status line changes: a button
//                                            the writer ignores while it is busy (FWRITE
//                                            while the last write's closing reset runs) is
//                                            clicked again
//   win32_probe record FILE                  writes every text set on the status line to
//                                            FILE, one a line, until the main window is
//                                            gone; FILE appears once the recording runs
//   win32_probe wait-dialog SECONDS          until the writer shows a file dialog
//   win32_probe open-file SECONDS PATH       waits for the file dialog, enters PATH (a
//                                            Windows path) as its file name and presses
//                                            Open; status 0 once the dialog has closed
//   win32_probe cancel-dialog                cancels that dialog
//   win32_probe rect FORM                    prints the window's place on the screen as
//                                            WxH+X+Y, for a screenshot of it alone
//   win32_probe show FORM                    shows the window without activating it (the
//                                            monitor window, which VIEW shows only with a
//                                            port)
//   win32_probe check-scale DPI              checks both windows' layout at DPI: client
//                                            area, place and every control the table's
//                                            times DPI/96, within the client area, each
//                                            caption no wider than its control in its own
//                                            font
//   win32_probe dpi-change DPI               tells both windows the system's DPI changed to
//                                            DPI, with a place on the screen at that scale
//   win32_probe close                        closes the main window
//   win32_probe code-page                    prints the console's output code page (0: no
//                                            console), for the console test of h8sx.exe
#include <cmath>
#include <initializer_list>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "app/Layout.h"
#include "gui/win32/Dpi.h"
#include "gui/win32/FormWindow.h"
#include "platform/win32/WideText.h"

#include <dlgs.h>
#include <shellapi.h>

namespace {

using namespace h8sx;
using h8sx::win32::Narrow;
using h8sx::win32::Widen;

const WindowSpec* Layout(const std::string& form) {
    if (form == "Form1") return &MainWindowLayout();
    if (form == "Form2") return &MonitorWindowLayout();
    return nullptr;
}

HWND FormHandle(const WindowSpec& spec) { return FindWindowW(win32::kFormClass, Widen(spec.caption).c_str()); }

HWND ControlHandle(const std::string& form, const char* name) {
    const WindowSpec* spec = Layout(form);
    if (!spec) return nullptr;
    const ControlSpec* c = FindControl(*spec, name);
    HWND window = FormHandle(*spec);
    if (!c || !window) return nullptr;
    return GetDlgItem(window, win32::kFirstControlId + static_cast<int>(c - spec->controls.data()));
}

// WM_GETTEXT is carried across processes; GetWindowText is not, for a control.
bool ReadText(HWND h, std::string& out) {
    wchar_t buf[1024] = {};
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 2000, &result))
        return false;
    out = Narrow(buf);
    return true;
}

HWND FindDialog() {
    HWND main = FormHandle(MainWindowLayout());
    if (!main) return nullptr;
    DWORD writer = 0;
    GetWindowThreadProcessId(main, &writer);
    struct Search {
        DWORD process;
        HWND found;
    } search{writer, nullptr};
    EnumWindows(
        [](HWND h, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<Search*>(p);
            wchar_t cls[64] = {};
            DWORD pid = 0;
            GetWindowThreadProcessId(h, &pid);
            GetClassNameW(h, cls, 64);
            if (pid == s->process && std::wcscmp(cls, L"#32770") == 0 && IsWindowVisible(h)) {
                s->found = h;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

template <class F>
bool Until(double seconds, F ready) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    while (GetTickCount64() < end) {
        if (ready()) return true;
        Sleep(1);
    }
    return ready();
}

// Clicks until the status line changes. A click the writer takes changes it within a tick
// or two; one it ignores (busy) leaves no trace, and is repeated.
int Press(const std::string& form, const char* control, double seconds) {
    HWND h = ControlHandle(form, control);
    HWND label = ControlHandle("Form1", "Label3");
    std::string before, now;
    if (!h || !label || !ReadText(label, before))
        return std::fprintf(stderr, "no control %s %s\n", form.c_str(), control), 1;
    const bool taken = Until(seconds, [&] {
        PostMessageW(h, BM_CLICK, 0, 0);
        return Until(0.5, [&] { return ReadText(label, now) && now != before; });
    });
    return taken ? 0 : 1;
}

// The file name field of the open dialog: an edit (edt1) in the classic explorer template,
// a combo box with an edit inside (cmb13) in later ones.
HWND FileNameField(HWND dialog) {
    HWND edit = GetDlgItem(dialog, edt1);
    if (edit && IsWindowVisible(edit)) return edit;
    if (HWND combo = GetDlgItem(dialog, cmb13)) {
        if (HWND inner = FindWindowExW(combo, nullptr, L"Edit", nullptr)) return inner;
        return combo;
    }
    return nullptr;
}

int OpenFile(double seconds, const std::string& path) {
    HWND dialog = nullptr;
    if (!Until(seconds, [&] { return (dialog = FindDialog()) != nullptr; }))
        return std::fprintf(stderr, "no file dialog\n"), 1;
    HWND field = FileNameField(dialog);
    if (!field) return std::fprintf(stderr, "the file dialog has no file name field\n"), 1;
    const std::wstring wide = Widen(path);
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()), SMTO_ABORTIFHUNG,
                             2000, &result))
        return std::fprintf(stderr, "the file name field took no text\n"), 1;
    // As a click on Open: the dialog reads its field then.
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    // A name the dialog refuses leaves it open (with a message box in front of it).
    if (!Until(10, [&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }))
        return std::fprintf(stderr, "the file dialog did not take %s\n", path.c_str()), 1;
    return 0;
}

// win32_probe_hook.dll, loaded into the writer by the system, runs in the writer's GUI
// thread: with the hook in place it sends to the probe's hidden sink windows.
HHOOK HookWriter(HWND main) {
    // Beside the probe; the writer loads it from the same place.
    HMODULE library = LoadLibraryW(L"win32_probe_hook.dll");
    FARPROC found = library ? GetProcAddress(library, "ProbeCallWndProc") : nullptr;
    HOOKPROC proc = nullptr;
    static_assert(sizeof proc == sizeof found);
    std::memcpy(&proc, &found, sizeof proc);  // the exported hook's own type
    if (!proc) return std::fprintf(stderr, "no win32_probe_hook.dll beside the probe\n"), nullptr;
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, proc, library, GetWindowThreadProcessId(main, nullptr));
    if (!hook) std::fprintf(stderr, "cannot hook the writer (error %lu)\n", GetLastError());
    return hook;
}

// Hidden but top-level, so that FindWindow finds it.
HWND SinkWindow(const wchar_t* className, WNDPROC proc) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = className;
    RegisterClassW(&wc);
    return CreateWindowExW(0, className, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
}

// The recording: the hook sends every text set on a window of the writer's GUI thread.
constexpr wchar_t kSinkClass[] = L"H8sxProbeSink";

struct Recording {
    HWND label;
    std::FILE* out;
};

LRESULT CALLBACK SinkProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_COPYDATA) {
        auto* rec = reinterpret_cast<Recording*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lp);
        if (rec && reinterpret_cast<HWND>(data->dwData) == rec->label) {
            std::wstring text(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
            text.resize(std::wcslen(text.c_str()));
            std::fprintf(rec->out, "%s\n", Narrow(text).c_str());
            std::fflush(rec->out);
        }
        return TRUE;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

int Record(const std::string& path) {
    HWND main = FormHandle(MainWindowLayout());
    HWND label = ControlHandle("Form1", "Label3");
    if (!main || !label) return std::fprintf(stderr, "no main window\n"), 1;
    HWND sink = SinkWindow(kSinkClass, SinkProc);
    if (!sink) return std::fprintf(stderr, "no sink window\n"), 1;
    HHOOK hook = HookWriter(main);
    if (!hook) return 1;
    // No text comes before the loop below looks at messages: the file stands for "recording".
    std::FILE* out = _wfopen(Widen(path).c_str(), L"wb");
    if (!out) return std::fprintf(stderr, "cannot record to %s\n", path.c_str()), 1;
    Recording rec{label, out};
    SetWindowLongPtrW(sink, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&rec));
    while (IsWindow(main)) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
    UnhookWindowsHookEx(hook);
    std::fclose(out);
    return 0;
}

// The layout at a DPI. The hook measures each caption in the writer, where the control's
// font lives, and sends the extent to the measure sink.
constexpr wchar_t kMeasureSinkClass[] = L"H8sxProbeMeasureSink";
std::map<HWND, SIZE> measured;

LRESULT CALLBACK MeasureSinkProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lp);
        if (data->cbData == sizeof(SIZE))
            measured[reinterpret_cast<HWND>(data->dwData)] = *static_cast<const SIZE*>(data->lpData);
        return TRUE;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// A length of the table at a DPI, rounded to the nearest pixel.
long AtDpi(int tablePixels, UINT dpi) { return std::lround(tablePixels * static_cast<double>(dpi) / 96); }

// What the system's button takes of the width beside the caption at 96 DPI: the check or
// radio glyph, the frame of a push button, the frame and indent of a group box caption.
int CaptionInset(ControlKind kind) {
    switch (kind) {
        case ControlKind::CheckBox:
        case ControlKind::RadioButton: return 13;
        case ControlKind::Button: return 4;
        case ControlKind::GroupBox: return 16;
        default: return 0;
    }
}

int CheckScale(const std::string& form, UINT dpi) {
    const WindowSpec* spec = Layout(form);
    HWND window = spec ? FormHandle(*spec) : nullptr;
    if (!window) return std::fprintf(stderr, "no window %s\n", form.c_str()), 1;
    // Exact at 96 DPI, the windows of the tables pixel for pixel; within rounding elsewhere.
    const long slack = dpi == 96 ? 0 : 2;
    int faults = 0;
    auto differs = [&](long got, long want) { return std::labs(got - want) > slack; };
    auto fault = [&](const char* format, auto... args) {
        ++faults;
        std::printf(format, form.c_str(), args...);
    };

    // The client area: what the system's frame at 96 DPI leaves of the table's outer size.
    const auto style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
    const auto exStyle = static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE));
    const SIZE frame = win32::OuterSize({0, 0}, style, exStyle, 96);
    const long wantW = AtDpi(spec->width - frame.cx, dpi), wantH = AtDpi(spec->height - frame.cy, dpi);
    RECT client, outer;
    GetClientRect(window, &client);
    GetWindowRect(window, &outer);
    if (differs(client.right, wantW) || differs(client.bottom, wantH))
        fault("%s: client area %ldx%ld, not %ldx%ld\n", client.right, client.bottom, wantW, wantH);
    if (differs(outer.left, AtDpi(spec->left, dpi)) || differs(outer.top, AtDpi(spec->top, dpi)))
        fault("%s: at %ld,%ld on the screen, not %ld,%ld\n", outer.left, outer.top, AtDpi(spec->left, dpi),
              AtDpi(spec->top, dpi));
    if (dpi == 96 && (outer.right - outer.left != spec->width || outer.bottom - outer.top != spec->height))
        fault("%s: outer size %ldx%ld at 96 DPI\n", outer.right - outer.left, outer.bottom - outer.top);

    HHOOK hook = HookWriter(window);
    HWND sink = SinkWindow(kMeasureSinkClass, MeasureSinkProc);
    if (!hook || !sink) return 1;
    const UINT measure = RegisterWindowMessageW(L"H8sxProbeMeasure");
    for (std::size_t i = 0; i < spec->controls.size(); ++i) {
        const ControlSpec& c = spec->controls[i];
        HWND h = GetDlgItem(window, win32::kFirstControlId + static_cast<int>(i));
        RECT r;
        if (!h || !GetWindowRect(h, &r)) {
            fault("%s: no %s\n", c.name);
            continue;
        }
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        int left = c.left, top = c.top;
        if (const ControlSpec* box = c.parent ? FindControl(*spec, c.parent) : nullptr)
            left += box->left, top += box->top;
        const long width = r.right - r.left, height = r.bottom - r.top;
        // Labels grow with their text; one of no size in the table is sized to its text.
        const bool label = c.kind == ControlKind::Label;
        const bool sized = !label || c.height != 0;
        if (differs(r.left, AtDpi(left, dpi)) || differs(r.top, AtDpi(top, dpi)) ||
            (sized && differs(height, AtDpi(c.height, dpi))) ||
            (sized && (label ? width < AtDpi(c.width, dpi) - slack : differs(width, AtDpi(c.width, dpi)))))
            fault("%s %s: %ldx%ld at %ld,%ld, not %ldx%ld at %ld,%ld\n", c.name, width, height, r.left, r.top,
                  AtDpi(c.width, dpi), AtDpi(c.height, dpi), AtDpi(left, dpi), AtDpi(top, dpi));
        if (r.left < 0 || r.top < 0 || r.right > client.right || r.bottom > client.bottom)
            fault("%s %s: reaches out of the client area (%ld,%ld to %ld,%ld)\n", c.name, r.left, r.top,
                  r.right, r.bottom);
        if (c.kind == ControlKind::Memo || c.kind == ControlKind::ProgressBar) continue;
        DWORD_PTR result = 0;
        SendMessageTimeoutW(h, measure, 0, 0, SMTO_ABORTIFHUNG, 2000, &result);
        const auto m = measured.find(h);
        if (m == measured.end()) {
            fault("%s %s: caption not measured\n", c.name);
            continue;
        }
        const long room = width - AtDpi(CaptionInset(c.kind), dpi);
        if (m->second.cx > room)
            fault("%s %s: caption %ld px wide, room for %ld\n", c.name, m->second.cx, room);
    }
    UnhookWindowsHookEx(hook);
    DestroyWindow(sink);
    if (faults) return 1;
    std::printf("%s at %u DPI: client area %ldx%ld, %zu controls in place, every caption whole\n",
                form.c_str(), dpi, client.right, client.bottom, spec->controls.size());
    return 0;
}

int ChangeDpi(const std::string& form, UINT dpi) {
    const WindowSpec* spec = Layout(form);
    HWND window = spec ? FormHandle(*spec) : nullptr;
    if (!window) return std::fprintf(stderr, "no window %s\n", form.c_str()), 1;
    HHOOK hook = HookWriter(window);
    if (!hook) return 1;
    DWORD_PTR result = 0;
    const LPARAM at = MAKELPARAM(AtDpi(spec->left, dpi), AtDpi(spec->top, dpi));
    const bool sent = SendMessageTimeoutW(window, RegisterWindowMessageW(L"H8sxProbeDpi"), dpi, at,
                                          SMTO_ABORTIFHUNG, 5000, &result);
    UnhookWindowsHookEx(hook);
    return sent ? 0 : 1;
}

int Usage() {
    std::fprintf(
        stderr,
        "usage: win32_probe wait-window|click|press|text|wait-text|record|wait-dialog|open-file|"
        "cancel-dialog|rect|show|check-scale|dpi-change|close|code-page ...\n");
    return 2;
}

}  // namespace

int main() {
    // The writer's windows in the screen's own pixels, whatever its scale.
    SetProcessDPIAware();
    // The arguments as UTF-8, whatever the code page: status texts are Japanese.
    int argc = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(Narrow(wide[i]));
    std::vector<char*> pointers;
    for (auto& a : args) pointers.push_back(a.data());
    char** argv = pointers.data();
    if (argc < 2) return Usage();
    const std::string cmd = argv[1];
    if (cmd == "wait-window" && argc == 3) {
        return Until(std::atof(argv[2]), [] {
                   const HWND main = FormHandle(MainWindowLayout());
                   return main && IsWindowVisible(main);
               })
                   ? 0
                   : 1;
    }
    if (cmd == "click" && argc == 4) {
        HWND h = ControlHandle(argv[2], argv[3]);
        if (!h) return std::fprintf(stderr, "no control %s %s\n", argv[2], argv[3]), 1;
        // Posted: the handler may run for seconds, pumping messages all the while.
        return PostMessageW(h, BM_CLICK, 0, 0) ? 0 : 1;
    }
    if (cmd == "press" && argc == 5) return Press(argv[2], argv[3], std::atof(argv[4]));
    if (cmd == "text" && argc == 4) {
        HWND h = ControlHandle(argv[2], argv[3]);
        std::string text;
        if (!h || !ReadText(h, text)) return 1;
        std::printf("%s\n", text.c_str());
        return 0;
    }
    if (cmd == "wait-text" && argc == 6) {
        HWND h = ControlHandle(argv[2], argv[3]);
        std::string text;
        const bool found = h && Until(std::atof(argv[4]), [&] {
            return ReadText(h, text) && text.find(argv[5]) != std::string::npos;
        });
        if (!found) std::printf("%s\n", text.c_str());
        return found ? 0 : 1;
    }
    if (cmd == "wait-dialog" && argc == 3) return Until(std::atof(argv[2]), [] { return FindDialog() != nullptr; }) ? 0 : 1;
    if (cmd == "open-file" && argc == 4) return OpenFile(std::atof(argv[2]), argv[3]);
    if (cmd == "record" && argc == 3) return Record(argv[2]);
    if (cmd == "rect" && argc == 3) {
        const WindowSpec* spec = Layout(argv[2]);
        HWND w = spec ? FormHandle(*spec) : nullptr;
        RECT r;
        if (!w || !GetWindowRect(w, &r)) return 1;
        std::printf("%ldx%ld+%ld+%ld\n", r.right - r.left, r.bottom - r.top, r.left, r.top);
        return 0;
    }
    if (cmd == "cancel-dialog" && argc == 2) {
        HWND d = FindDialog();
        return d && PostMessageW(d, WM_COMMAND, IDCANCEL, 0) ? 0 : 1;
    }
    if (cmd == "show" && argc == 3) {
        const WindowSpec* spec = Layout(argv[2]);
        HWND w = spec ? FormHandle(*spec) : nullptr;
        return w && (ShowWindow(w, SW_SHOWNOACTIVATE), IsWindowVisible(w)) ? 0 : 1;
    }
    if ((cmd == "check-scale" || cmd == "dpi-change") && argc == 3) {
        const auto dpi = static_cast<UINT>(std::atoi(argv[2]));
        int status = 0;
        for (const char* form : {"Form1", "Form2"})
            status |= cmd == "check-scale" ? CheckScale(form, dpi) : ChangeDpi(form, dpi);
        return status;
    }
    if (cmd == "code-page" && argc == 2) {
        std::printf("%u\n", GetConsoleOutputCP());
        return 0;
    }
    if (cmd == "close" && argc == 2) {
        HWND main = FormHandle(MainWindowLayout());
        return main && PostMessageW(main, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    return Usage();
}
