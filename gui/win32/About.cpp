#include "gui/win32/About.h"

#include <atomic>

#include "Version.h"
#include "platform/win32/WideText.h"

#include <commctrl.h>

namespace h8sx::win32 {

namespace {

// A command of the system menu: below 0xF000, and the system keeps the low four bits.
constexpr UINT kAboutCommand = 0x0010;
constexpr UINT_PTR kAboutSubclass = 1;
constexpr WORD kIconResource = 1;

std::atomic<bool> g_aboutOpen{false};

std::wstring AboutText() {
    return L"h8sx-writer " + Widen(kVersion) +
           L"\n\nA flash writer and serial monitor for H8SX1622 boards."
           L"\n\nCopyright (c) the h8sx-writer developers. MIT License.";
}

// The box runs on a thread of its own: a modal box on the windows' thread would hold up a
// write's waits behind it while the ticks ran on, and the write would time out.
DWORD WINAPI ShowAbout(LPVOID) {
    const std::wstring text = AboutText();
    MSGBOXPARAMSW box{};
    box.cbSize = sizeof box;
    box.hInstance = GetModuleHandleW(nullptr);
    box.lpszText = text.c_str();
    box.lpszCaption = L"About h8sx-writer";
    box.dwStyle = MB_OK | MB_USERICON | MB_SETFOREGROUND;
    box.lpszIcon = MAKEINTRESOURCEW(kIconResource);
    MessageBoxIndirectW(&box);
    g_aboutOpen = false;
    return 0;
}

LRESULT CALLBACK SystemMenuProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
    if (msg == WM_SYSCOMMAND && (wp & 0xFFF0) == kAboutCommand) {
        if (!g_aboutOpen.exchange(true)) {
            HANDLE thread = CreateThread(nullptr, 0, ShowAbout, nullptr, 0, nullptr);
            if (thread)
                CloseHandle(thread);
            else
                g_aboutOpen = false;
        }
        return 0;
    }
    return DefSubclassProc(hwnd, msg, wp, lp);
}

}  // namespace

void SetWindowIcons(HWND window, HINSTANCE instance) {
    for (auto [which, metric] : {std::pair{ICON_BIG, SM_CXICON}, std::pair{ICON_SMALL, SM_CXSMICON}}) {
        const int size = GetSystemMetrics(metric);
        if (HANDLE icon = LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, size, size, LR_SHARED))
            SendMessageW(window, WM_SETICON, which, reinterpret_cast<LPARAM>(icon));
    }
}

void AddAboutEntry(HWND window) {
    HMENU menu = GetSystemMenu(window, FALSE);
    if (!menu) return;
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kAboutCommand, L"About h8sx-writer...");
    SetWindowSubclass(window, SystemMenuProc, kAboutSubclass, 0);
}

void AnswerCommandLine(const std::string& text) {
    std::string crlf;
    for (char c : text) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    DWORD written = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE &&
        WriteFile(out, crlf.data(), static_cast<DWORD>(crlf.size()), &written, nullptr))
        return;
    const std::wstring wide = Widen(crlf);
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        HANDLE console = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (console != INVALID_HANDLE_VALUE) {
            WriteConsoleW(console, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr);
            CloseHandle(console);
            return;
        }
    }
    MessageBoxW(nullptr, wide.c_str(), L"h8sx-writer", MB_OK | MB_ICONINFORMATION);
}

}  // namespace h8sx::win32
