#include "platform/win32/Win32Platform.h"

#include "platform/win32/WinApi.h"

#include "platform/win32/WideText.h"

namespace h8sx::win32 {

std::string Win32Platform::ExecutableDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return ".\\";
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);  // truncated: a longer path than MAX_PATH
    }
    const auto slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return ".\\";
    return Narrow(path.substr(0, slash)) + "\\";
}

void Win32Platform::ExitNow() {
    // At once: no window is closed, no exit handler or static destructor runs.
    TerminateProcess(GetCurrentProcess(), 0);
    ExitProcess(0);
}

std::FILE* Win32Platform::OpenFile(const std::string& utf8Path, const char* mode) {
    return _wfopen(Widen(utf8Path).c_str(), Widen(mode).c_str());
}

std::vector<PortEntry> Win32Platform::ListPorts() {
    std::vector<PortEntry> ports;
    for (int n = 1; n <= 6; ++n) {
        PortEntry p;
        p.name = "COM" + std::to_string(n);
        p.device = "\\\\.\\" + p.name;
        char target[512];
        p.present = QueryDosDeviceA(p.name.c_str(), target, sizeof target) != 0;
        ports.push_back(p);
    }
    return ports;
}

}  // namespace h8sx::win32
