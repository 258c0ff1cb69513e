// Drives a running h8sx-writer.exe from outside, as an operator would: clicks its buttons
// and reads its status line. Used by the front-end test under wine.
//
//   win32_probe wait-window SECONDS          until the main window is there
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
//   win32_probe close                        closes the main window
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "app/Layout.h"
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

// The recording: win32_probe_hook.dll, loaded into the writer by the system, sends every
// text set on a window of the writer's GUI thread to this hidden window.
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
    // Beside the probe; the writer loads it from the same place.
    HMODULE library = LoadLibraryW(L"win32_probe_hook.dll");
    FARPROC found = library ? GetProcAddress(library, "ProbeCallWndProc") : nullptr;
    HOOKPROC proc = nullptr;
    static_assert(sizeof proc == sizeof found);
    std::memcpy(&proc, &found, sizeof proc);  // the exported hook's own type
    if (!proc) return std::fprintf(stderr, "no win32_probe_hook.dll beside the probe\n"), 1;

    WNDCLASSW wc{};
    wc.lpfnWndProc = SinkProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kSinkClass;
    RegisterClassW(&wc);
    // Hidden but top-level, so that FindWindow finds it.
    HWND sink =
        CreateWindowExW(0, kSinkClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    if (!sink) return std::fprintf(stderr, "no sink window\n"), 1;
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, proc, library, GetWindowThreadProcessId(main, nullptr));
    if (!hook) return std::fprintf(stderr, "cannot hook the writer (error %lu)\n", GetLastError()), 1;
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

int Usage() {
    std::fprintf(
        stderr,
        "usage: win32_probe wait-window|click|press|text|wait-text|record|wait-dialog|open-file|"
        "cancel-dialog|rect|close ...\n");
    return 2;
}

}  // namespace

int main() {
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
        return Until(std::atof(argv[2]), [] { return FormHandle(MainWindowLayout()) != nullptr; }) ? 0 : 1;
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
    if (cmd == "close" && argc == 2) {
        HWND main = FormHandle(MainWindowLayout());
        return main && PostMessageW(main, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    return Usage();
}
