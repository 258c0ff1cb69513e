#include "gui/win32/Dpi.h"

#include <cstring>

namespace h8sx::win32 {

namespace {

// The DPI functions of Windows 10 1607 and later, looked up at run time: older systems
// (and some wine versions) lack them, and then the system DPI stands for every window.
template <class F>
F User32Function(const char* name) {
    static_assert(sizeof(F) == sizeof(FARPROC));
    FARPROC found = GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
    F f;
    std::memcpy(&f, &found, sizeof f);
    return f;
}

using GetDpiForSystemFn = UINT(WINAPI*)();
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);

}  // namespace

int Scale(int tablePixels, UINT dpi) { return MulDiv(tablePixels, static_cast<int>(dpi), kTableDpi); }

UINT SystemDpi() {
    static const auto getDpiForSystem = User32Function<GetDpiForSystemFn>("GetDpiForSystem");
    if (getDpiForSystem) return getDpiForSystem();
    HDC dc = GetDC(nullptr);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(nullptr, dc);
    return dpi > 0 ? static_cast<UINT>(dpi) : kTableDpi;
}

UINT WindowDpi(HWND window) {
    static const auto getDpiForWindow = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
    const UINT dpi = getDpiForWindow ? getDpiForWindow(window) : 0;
    return dpi ? dpi : SystemDpi();
}

SIZE OuterSize(SIZE client, DWORD style, DWORD exStyle, UINT dpi) {
    static const auto adjustForDpi = User32Function<AdjustWindowRectExForDpiFn>("AdjustWindowRectExForDpi");
    RECT r{0, 0, client.cx, client.cy};
    if (adjustForDpi) {
        adjustForDpi(&r, style, FALSE, exStyle, dpi);
        return {r.right - r.left, r.bottom - r.top};
    }
    // Without it the system's frame is the one of the system DPI; at another DPI its
    // thicknesses are scaled alike.
    AdjustWindowRectEx(&r, style, FALSE, exStyle);
    const int now = static_cast<int>(SystemDpi()), wanted = static_cast<int>(dpi);
    return {client.cx + MulDiv(r.right - r.left - client.cx, wanted, now),
            client.cy + MulDiv(r.bottom - r.top - client.cy, wanted, now)};
}

}  // namespace h8sx::win32
