// h8sx-writer on Windows: the main window and the hidden monitor window on native
// controls, the serial port through the communications API.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "app/CommandLine.h"
#include "app/TForm1.h"
#include "boot/WireTrace.h"
#include "gui/win32/About.h"
#include "gui/win32/Win32Toolkit.h"
#include "monitor/TForm2.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/Win32Serial.h"
#include "platform/win32/WideText.h"

#include "platform/win32/WinApi.h"
#include <commctrl.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    switch (h8sx::WriterRequestOf(__argc, __argv)) {
        case h8sx::WriterRequest::Version: h8sx::win32::AnswerCommandLine(h8sx::VersionLine("h8sx-writer")); return 0;
        case h8sx::WriterRequest::Help: h8sx::win32::AnswerCommandLine(h8sx::kWriterUsage); return 0;
        case h8sx::WriterRequest::Run: break;
    }
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    try {
        h8sx::win32::Win32SerialDevice device;
        h8sx::win32::Win32Platform platform;
        h8sx::win32::Win32Toolkit toolkit(instance);
        // H8SX_TRACE names a file: every byte on the line goes there too, as h8sx --trace writes it.
        std::FILE* trace = std::getenv("H8SX_TRACE") ? std::fopen(std::getenv("H8SX_TRACE"), "w") : nullptr;
        h8sx::WireTrace traced(device, [trace](const std::string& l) { std::fputs(l.c_str(), trace), std::fflush(trace); });
        h8sx::TForm1 form1(trace ? static_cast<h8sx::SerialDevice&>(traced) : device, toolkit, platform);
        if (trace) form1.Link().notes = &traced;
        h8sx::TForm2 form2(form1);
        toolkit.Connect(form1, form2);
        h8sx::win32::SetWindowIcons(toolkit.Form1Window().Handle(), instance);
        h8sx::win32::SetWindowIcons(toolkit.Form2Window().Handle(), instance);
        h8sx::win32::AddAboutEntry(toolkit.Form1Window().Handle());
        toolkit.ShowMainWindow();
        toolkit.Run();
    } catch (const std::exception& e) {
        MessageBoxW(nullptr, h8sx::win32::Widen(e.what()).c_str(), L"h8sx-writer", MB_OK | MB_ICONERROR);
    }
    return 0;
}
