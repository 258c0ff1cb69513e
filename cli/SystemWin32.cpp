#include "cli/System.h"
#include "platform/win32/WideText.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/Win32Serial.h"
// <windows.h> without the macros that clash with the core's names; the headers below
// need it first.
#include "platform/win32/WinApi.h"
// clang-format off
#include <fcntl.h>
#include <io.h>
#include <mmsystem.h>
#include <shellapi.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>

namespace h8sx::cli {

namespace {

volatile LONG g_stop = 0;
// The pumps' wake events, set with the stop, so that every sleep wakes at once. An event,
// once made, stays for the next pump that takes its slot.
constexpr int kWakers = 64;
std::atomic<HANDLE> g_wakers[kWakers];
std::atomic<bool> g_wakerTaken[kWakers];
HANDLE g_doneEvent = nullptr;  // set when the program ends
// How long a closing console waits for the board's restart and the port's release.
constexpr DWORD kCloseGraceMs = 4000;

DWORD g_savedInputMode = 0;
bool g_inputRaw = false;
// The console's output code page before the program changed it; 0 once it is back.
volatile LONG g_savedOutputCodePage = 0;

// The console's code page back as cmd.exe and the next program in the window expect it:
// once, by whichever way out comes first.
void RestoreConsole() {
    const auto page = static_cast<UINT>(InterlockedExchange(&g_savedOutputCodePage, 0));
    if (page != 0) SetConsoleOutputCP(page);
}

// The last thing the program does at its exit: a closing console's handler that waits for
// this lets the system end the process as soon as it returns.
void SetDone() {
    RestoreConsole();
    if (g_doneEvent) SetEvent(g_doneEvent);
}

BOOL WINAPI OnConsoleEvent(DWORD type) {
    InterlockedExchange(&g_stop, 1);
    for (std::atomic<HANDLE>& w : g_wakers)
        if (HANDLE e = w.load()) SetEvent(e);
    // The system ends the process as soon as a close, log-off or shut-down handler
    // returns: wait for the main loop to restart the board and release the port first.
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
        if (g_doneEvent) WaitForSingleObject(g_doneEvent, kCloseGraceMs);
        RestoreConsole();  // also when the main loop did not end in time
    }
    return TRUE;
}

bool IsConsole(DWORD stdHandle) {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(stdHandle), &mode) != 0;
}

void AppendUtf8(std::string& out, wchar_t c) { out += win32::Narrow(std::wstring(1, c)); }

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
    // The narrow arguments are in the system's code page: take the wide ones.
    int n = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (wide == nullptr) return {argv, argv + argc};
    std::vector<std::string> args;
    for (int i = 0; i < n; ++i) args.push_back(win32::Narrow(wide[i]));
    LocalFree(wide);
    return args;
}

// The port offers no handle to wait on without overlapped I/O, which the serial layer
// does not use: a wait on it looks every millisecond, as the window's does.
SystemSerial NewSerialDevice() { return {std::make_unique<win32::Win32SerialDevice>(), [] { return -1; }}; }
std::unique_ptr<Platform> NewPlatform() { return std::make_unique<win32::Win32Platform>(); }

std::string PortDevice(const std::string& name) {
    // COM1 to COM9 open by their names; from COM10 on only through the device namespace.
    if (name.size() > 4 && name.compare(0, 3, "COM") == 0 &&
        name.find_first_not_of("0123456789", 3) == std::string::npos)
        return "\\\\.\\" + name;
    return name;
}

std::string PortDeviceShown(const std::string& name) {
    const std::string device = PortDevice(name);
    return device == name ? std::string() : device;
}

std::string PortDeviceOrigin(const std::string&) { return {}; }

std::string DeviceIdentity(const std::string& name) {
    // COM3 and \\.\COM3, in any case, are one port.
    std::string device = PortDevice(name);
    if (device.rfind("\\\\.\\", 0) == 0) device.erase(0, 4);
    for (char& c : device) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return device;
}

std::string DeviceShortName(const std::string&) { return {}; }
std::string AdapterName(const std::string&) { return {}; }

std::string OpenFailureRemedy(const OpenError& error, const std::string&) {
    switch (error.kind) {
        case OpenError::Kind::Busy: return "another program holds it";
        case OpenError::Kind::Missing: return "no such port: 'h8sx ports' lists the ports of this machine";
        case OpenError::Kind::Denied:
        case OpenError::Kind::None:
        case OpenError::Kind::Other: return {};
    }
    return {};
}

void UseUtf8Console() {
    const UINT page = GetConsoleOutputCP();  // 0: no console
    if (page == 0 || page == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
    InterlockedExchange(&g_savedOutputCodePage, static_cast<LONG>(page));
    // At a return from main and at std::exit; the stop handlers' exit routine, which runs
    // before this one, restores it first.
    std::atexit(RestoreConsole);
}

void UseBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

bool StdinIsTerminal() { return IsConsole(STD_INPUT_HANDLE); }
bool StderrIsTerminal() { return IsConsole(STD_ERROR_HANDLE); }

int StderrColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

// A pipe's closed reader shows only at the next write there.
bool StdoutReaderGone() { return false; }

void InstallStopHandlers() {
    g_doneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atexit(SetDone);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool StopRequested() { return g_stop != 0; }

void RequestStop() {
    InterlockedExchange(&g_stop, 1);
    for (std::atomic<HANDLE>& w : g_wakers)
        if (HANDLE e = w.load()) SetEvent(e);
}

bool UseTerminalSequences() {
    // The console draws the cursor and erase sequences once asked to (Windows 10 and later).
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(err, &mode) &&
           (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING || SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
}

void WaitForInput(bool forInput, std::chrono::milliseconds max) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    const auto ms = static_cast<DWORD>(max.count());
    if (forInput && IsConsole(STD_INPUT_HANDLE))
        WaitForSingleObject(in, ms);
    else
        ::Sleep(ms);
}

void LocalTime(std::time_t t, std::tm& local) { localtime_s(&local, &t); }

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &n) ? win32::Narrow(std::wstring(name, n)) : std::string();
}

namespace {

std::string Reason(const std::string& what, const std::string& path, DWORD error = GetLastError()) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer != nullptr ? buffer : L"", n);
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L'.')) text.pop_back();
    return "cannot " + what + " " + path + ": " + win32::Narrow(text);
}

struct Handle {
    HANDLE h;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

// An exclusive lock on the whole of an open file, waited for; released with the handle.
bool LockWhole(HANDLE h) {
    OVERLAPPED at{};
    return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &at) != 0;
}

bool WriteWhole(HANDLE h, const std::string& text) {
    DWORD written = 0;
    return WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, std::string& error) {
    Handle f{CreateFileW(win32::Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (f.h == INVALID_HANDLE_VALUE) {
        error = Reason("read", path);
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (DWORD got = 0; ReadFile(f.h, buffer, sizeof buffer, &got, nullptr) && got > 0;) text.append(buffer, got);
    return text;
}

std::string UpdateFileLocked(const std::string& path,
                             const std::function<std::optional<std::string>(const std::string&)>& update) {
    const std::string lockPath = path + ".lock";
    Handle lock{CreateFileW(win32::Widen(lockPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (lock.h == INVALID_HANDLE_VALUE) return Reason("create the lock", lockPath);
    if (!LockWhole(lock.h)) return Reason("lock", lockPath);
    std::string error;
    const std::optional<std::string> content = ReadWholeFile(path, error);
    if (!content) return error;
    const std::optional<std::string> replacement = update(*content);
    if (!replacement) return {};
    const std::string temporary = path + ".new-" + std::to_string(GetCurrentProcessId());
    {
        Handle f{CreateFileW(win32::Widen(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr)};
        if (f.h == INVALID_HANDLE_VALUE) return Reason("write", temporary);
        if (!WriteWhole(f.h, *replacement) || !FlushFileBuffers(f.h)) {
            const std::string why = Reason("write", temporary);
            CloseHandle(f.h);
            f.h = INVALID_HANDLE_VALUE;
            DeleteFileW(win32::Widen(temporary).c_str());
            return why;
        }
    }
    if (!MoveFileExW(win32::Widen(temporary).c_str(), win32::Widen(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const std::string why = Reason("write", path);
        DeleteFileW(win32::Widen(temporary).c_str());
        return why;
    }
    return {};
}

std::string CanAppend(const std::string& path) {
    Handle f{CreateFileW(win32::Widen(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    return f.h == INVALID_HANDLE_VALUE ? Reason("open", path) : std::string();
}

std::string AppendLocked(const std::string& path, const std::string& header, const std::string& line) {
    Handle f{CreateFileW(win32::Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (f.h == INVALID_HANDLE_VALUE) return Reason("open", path);
    if (!LockWhole(f.h)) return Reason("lock", path);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(f.h, &size)) return Reason("look at", path);
    // One write at the end, under the lock: as an append.
    LARGE_INTEGER end{};
    SetFilePointerEx(f.h, end, nullptr, FILE_END);
    const std::string text = size.QuadPart == 0 ? header + line : line;
    if (WriteWhole(f.h, text) && FlushFileBuffers(f.h)) return {};
    const std::string why = Reason("write", path);
    // No half line stays for the next row to run on from.
    SetFilePointerEx(f.h, size, nullptr, FILE_BEGIN);
    SetEndOfFile(f.h);
    return why;
}

StopWaker::StopWaker() {
    for (int i = 0; i < kWakers && slot_ < 0; ++i) {
        bool free = false;
        if (g_wakerTaken[i].compare_exchange_strong(free, true)) slot_ = i;
    }
    if (slot_ < 0) return;  // more pumps than slots: this one's sleeps end at the tick
    if (!g_wakers[slot_].load()) g_wakers[slot_].store(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    HANDLE e = g_wakers[slot_].load();
    if (!e) return;
    handle_ = reinterpret_cast<std::intptr_t>(e);
    // A stop that came before this pump: its first sleep ends at once too.
    if (g_stop) SetEvent(e); else ResetEvent(e);
}

StopWaker::~StopWaker() {
    if (slot_ >= 0) g_wakerTaken[slot_].store(false);
}

void StopWaker::Drain() const {}  // an auto-reset event wakes one wait

void Sleep(int, std::chrono::microseconds max, bool wakeOnInput, const StopWaker& waker) {
    static const bool fineTimer = timeBeginPeriod(1) == TIMERR_NOERROR;
    (void)fineTimer;
    // Whole milliseconds, rounded up: none for a time already past, never INFINITE.
    const std::int64_t us = std::clamp<std::int64_t>(max.count(), 0, std::int64_t{INFINITE - 1} * 1000);
    const auto ms = static_cast<DWORD>((us + 999) / 1000);
    HANDLE handles[2];
    DWORD n = 0;
    if (waker.Handle() != -1) handles[n++] = reinterpret_cast<HANDLE>(waker.Handle());
    if (wakeOnInput && g_inputRaw) handles[n++] = GetStdHandle(STD_INPUT_HANDLE);
    if (n == 0)
        ::Sleep(ms);
    else
        WaitForMultipleObjects(n, handles, FALSE, ms);
}

KeyInput::KeyInput(bool take) : terminal_(take && StdinIsTerminal()), ended_(!take) {
    if (!terminal_) return;
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleMode(in, &g_savedInputMode)) {
        // Keys one by one, unechoed, Ctrl-C as a key.
        SetConsoleMode(in, g_savedInputMode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                                  ENABLE_PROCESSED_INPUT));
        g_inputRaw = true;
    }
}

KeyInput::~KeyInput() {
    if (!g_inputRaw) return;
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), g_savedInputMode);
    g_inputRaw = false;
}

std::string KeyInput::Take(std::size_t most) {
    std::string bytes;
    if (ended_) return bytes;
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE) {
        ended_ = true;
        return bytes;
    }
    if (terminal_) {
        DWORD count = 0;
        while (bytes.size() < most && GetNumberOfConsoleInputEvents(in, &count) && count > 0) {
            INPUT_RECORD records[64];
            DWORD got = 0;
            if (!ReadConsoleInputW(in, records, 64, &got)) break;
            for (DWORD i = 0; i < got; ++i) {
                const KEY_EVENT_RECORD& k = records[i].Event.KeyEvent;
                if (records[i].EventType != KEY_EVENT || !k.bKeyDown || k.uChar.UnicodeChar == 0) continue;
                for (WORD r = 0; r < (k.wRepeatCount ? k.wRepeatCount : 1); ++r)
                    AppendUtf8(bytes, k.uChar.UnicodeChar);
            }
        }
        return bytes;
    }
    DWORD available = 0;
    if (PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr)) {
        if (available == 0) return bytes;
    } else if (GetLastError() == ERROR_BROKEN_PIPE) {
        ended_ = true;
        return bytes;
    } else {
        available = 4096;  // a file: reading never waits
    }
    available = static_cast<DWORD>(std::min<std::size_t>(available, most));
    std::string buf(available, '\0');
    DWORD got = 0;
    if (!ReadFile(in, buf.data(), available, &got, nullptr) || got == 0) {
        ended_ = true;
        return bytes;
    }
    bytes.assign(buf.data(), got);
    return bytes;
}

}  // namespace h8sx::cli
