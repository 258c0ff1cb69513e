// win32_probe_hook.dll: the half of win32_probe that runs inside h8sx-writer.exe. The
// probe hooks the writer's GUI thread with ProbeCallWndProc; the system then loads this
// library into the writer, and every text set on a window of that thread (WM_SETTEXT) is
// handed at once, before the window takes it, to the probe's sink window. So the probe sees
// each status text, even one the writer replaces before it next looks at its messages
// ("S1ファイル解析完了" is followed straight away by the transfer's first text).
#include <windows.h>

#include <cwchar>

namespace {
// The class of the probe's hidden sink window; win32_probe.cpp registers it.
constexpr wchar_t kSinkClass[] = L"H8sxProbeSink";
}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK ProbeCallWndProc(int code, WPARAM wp, LPARAM lp) {
    if (code == HC_ACTION) {
        const auto* call = reinterpret_cast<const CWPSTRUCT*>(lp);
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
