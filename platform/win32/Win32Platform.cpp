#include "platform/win32/Win32Platform.h"

#include <algorithm>
#include <map>

#include "platform/win32/WinApi.h"
#include <setupapi.h>

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

namespace {

// The class of serial and parallel ports in the device manager.
constexpr GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// "COM12" -> 12; 0 for any other name.
int ComNumber(const std::wstring& name) {
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, L"COM") != 0) return 0;
    int n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < L'0' || name[i] > L'9') return 0;
        n = n * 10 + (name[i] - L'0');
    }
    return n;
}

std::wstring RegistryText(HKEY key, const wchar_t* value) {
    wchar_t text[256] = {};
    DWORD size = sizeof text - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return text;
}

// The ports the serial drivers have now, by number: the kernel's device name for each.
void AddSerialComm(std::map<int, std::string>& ports) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        wchar_t data[64] = {};
        DWORD size = sizeof data - sizeof(wchar_t), type = 0;
        const LONG r = RegEnumValueW(key, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        if (const int n = ComNumber(data)) ports.emplace(n, Narrow(name));
    }
    RegCloseKey(key);
}

// The names the device manager shows for the ports present ("USB Serial Port (COM3)").
std::map<int, std::string> FriendlyNames() {
    std::map<int, std::string> names;
    HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return names;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        const int n = ComNumber(RegistryText(key, L"PortName"));
        RegCloseKey(key);
        wchar_t friendly[256] = {};
        if (n && SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_FRIENDLYNAME, nullptr,
                                                   reinterpret_cast<BYTE*>(friendly),
                                                   sizeof friendly - sizeof(wchar_t), nullptr))
            names[n] = Narrow(friendly);
    }
    SetupDiDestroyDeviceInfoList(set);
    return names;
}

}  // namespace

std::vector<PortEntry> Win32Platform::ListPorts() {
    std::map<int, std::string> present;  // number -> what the system calls it
    AddSerialComm(present);
    for (int n = 1; n <= 6; ++n) {
        char target[512];
        if (!present.count(n) && QueryDosDeviceA(("COM" + std::to_string(n)).c_str(), target, sizeof target))
            present.emplace(n, target);
    }
    for (auto& [n, name] : FriendlyNames()) present[n] = name;

    std::vector<PortEntry> ports;
    for (int n = 1; n <= std::max(6, present.empty() ? 0 : present.rbegin()->first); ++n) {
        const auto it = present.find(n);
        if (n > 6 && it == present.end()) continue;
        PortEntry p;
        p.name = "COM" + std::to_string(n);
        if (it != present.end()) {
            p.device = "\\\\.\\" + p.name;
            p.detail = it->second;
            p.present = true;
        }
        ports.push_back(p);
    }
    return ports;
}

}  // namespace h8sx::win32
