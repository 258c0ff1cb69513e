// Drives a running h8sx-writer.exe from outside, as an operator would: clicks its buttons
// and reads its status line. Used by the front-end test under wine.
//
//   win32_probe wait-window SECONDS          until the main window is there
//   win32_probe click FORM CONTROL           posts a click ("Form1" "Button1": FWRITE)
//   win32_probe text FORM CONTROL            prints the control's text
//   win32_probe wait-text FORM CONTROL SECONDS TEXT
//                                            until the control's text holds TEXT
//   win32_probe watch SECONDS TEXT...        prints each new status line until one of the
//                                            TEXTs shows (status 0) or time runs out (1)
//   win32_probe wait-dialog SECONDS          until the writer shows a file dialog
//   win32_probe cancel-dialog                cancels that dialog
//   win32_probe close                        closes the main window
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/Layout.h"
#include "gui/win32/FormWindow.h"
#include "platform/win32/WideText.h"

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

int Usage() {
    std::fprintf(stderr, "usage: win32_probe wait-window|click|text|wait-text|watch|wait-dialog|cancel-dialog|close ...\n");
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
    if (cmd == "watch" && argc >= 4) {
        HWND label = ControlHandle("Form1", "Label3");
        if (!label) return 1;
        std::string last = "\x01";
        const bool reached = Until(std::atof(argv[2]), [&] {
            std::string now;
            if (!ReadText(label, now) || now == last) return false;
            last = now;
            std::printf("%s\n", now.c_str());
            std::fflush(stdout);
            for (int i = 3; i < argc; ++i)
                if (now == argv[i]) return true;
            return false;
        });
        return reached ? 0 : 1;
    }
    if (cmd == "wait-dialog" && argc == 3) return Until(std::atof(argv[2]), [] { return FindDialog() != nullptr; }) ? 0 : 1;
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
