// win32_probe_hook.dll: the half of win32_probe that runs inside h8sx-writer.exe. The
// probe hooks the writer's GUI thread with ProbeCallWndProc; the system then loads this
// library into the writer, and every text set on a window of that thread (WM_SETTEXT) is
// handed at once, before the window takes it, to the probe's sink window. So the probe sees
// each status text, even one the writer replaces before it next looks at its messages
// ("S1ファイル解析完了" is followed straight away by the transfer's first text).
//
// Two requests of the probe are served here too, in the writer where the controls' fonts
// live: the width of a control's caption in the control's own font, and a change of DPI
// as the system makes it when a window moves to a screen of another scale.
#include <windows.h>

#include <cwchar>

namespace {
// The class of the probe's hidden sink window; win32_probe.cpp registers it.
constexpr wchar_t kSinkClass[] = L"H8sxProbeSink";
// The window that takes the measurements, and the requests (see win32_probe.cpp).
constexpr wchar_t kMeasureSinkClass[] = L"H8sxProbeMeasureSink";
// Registered on the hook's first call, in the writer's one GUI thread (a guarded static
// would need the thread library's DLL).
UINT measureMessage = 0, dpiMessage = 0;

// The caption's extent in the font the control draws it with, to the measure sink.
void Measure(HWND control) {
    HWND sink = FindWindowW(kMeasureSinkClass, nullptr);
    if (!sink) return;
    wchar_t text[256] = {};
    const int length = GetWindowTextW(control, text, 256);
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, text, length, &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    COPYDATASTRUCT data{reinterpret_cast<ULONG_PTR>(control), sizeof size, &size};
    DWORD_PTR result = 0;
    SendMessageTimeoutW(sink, WM_COPYDATA, reinterpret_cast<WPARAM>(control), reinterpret_cast<LPARAM>(&data),
                        SMTO_ABORTIFHUNG, 2000, &result);
}

// As the system does it: the window is asked for its size at the new DPI (kept as it is
// when it does not answer), then told of the DPI with the rectangle at (x, y) it is to take.
void ChangeDpi(HWND window, UINT dpi, int x, int y) {
    RECT now;
    GetWindowRect(window, &now);
    SIZE size{now.right - now.left, now.bottom - now.top};
    SendMessageW(window, WM_GETDPISCALEDSIZE, dpi, reinterpret_cast<LPARAM>(&size));
    RECT suggested{x, y, x + size.cx, y + size.cy};
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
}
}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK ProbeCallWndProc(int code, WPARAM wp, LPARAM lp) {
    if (code == HC_ACTION) {
        if (!measureMessage) {
            measureMessage = RegisterWindowMessageW(L"H8sxProbeMeasure");
            dpiMessage = RegisterWindowMessageW(L"H8sxProbeDpi");
        }
        const auto* call = reinterpret_cast<const CWPSTRUCT*>(lp);
        if (call->message == measureMessage) Measure(call->hwnd);
        if (call->message == dpiMessage)
            ChangeDpi(call->hwnd, static_cast<UINT>(call->wParam), static_cast<short>(LOWORD(call->lParam)),
                      static_cast<short>(HIWORD(call->lParam)));
        if (call->message == WM_SETTEXT && call->lParam != 0) {
            if (HWND sink = FindWindowW(kSinkClass, nullptr)) {
                const auto* text = reinterpret_cast<const wchar_t*>(call->lParam);
                COPYDATASTRUCT data{};
                data.dwData = reinterpret_cast<ULONG_PTR>(call->hwnd);
                data.cbData = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
                data.lpData = const_cast<wchar_t*>(text);
                DWORD_PTR result = 0;
                // Bounded: a probe that has gone away must not hold the writer up.
                SendMessageTimeoutW(sink, WM_COPYDATA, reinterpret_cast<WPARAM>(call->hwnd),
                                    reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, 2000, &result);
            }
        }
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}
