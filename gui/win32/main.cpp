// h8sx-writer on Windows: the main window and the hidden monitor window on native
// controls, the serial port through the communications API.
#include <exception>

#include "app/TForm1.h"
#include "gui/win32/Win32Toolkit.h"
#include "monitor/TForm2.h"
#include "platform/win32/Win32Platform.h"
#include "platform/win32/Win32Serial.h"
#include "platform/win32/WideText.h"

#include "platform/win32/WinApi.h"
#include <commctrl.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    try {
        h8sx::win32::Win32SerialDevice device;
        h8sx::win32::Win32Platform platform;
        h8sx::win32::Win32Toolkit toolkit(instance);
        h8sx::TForm1 form1(device, toolkit, platform);
        h8sx::TForm2 form2(form1);
        toolkit.Connect(form1, form2);
        toolkit.ShowMainWindow();
        toolkit.Run();
    } catch (const std::exception& e) {
        MessageBoxW(nullptr, h8sx::win32::Widen(e.what()).c_str(), L"h8sx-writer", MB_OK | MB_ICONERROR);
    }
    return 0;
}
