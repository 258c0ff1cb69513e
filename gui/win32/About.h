// What the Windows program tells about itself outside its laid-out windows: its icon on
// the windows, an About entry in the main window's system menu, and the answers to
// --version and --help.
#pragma once

#include <string>

#include "platform/win32/WinApi.h"

namespace h8sx::win32 {

// The program's icon (resource 1) on the window's caption and task bar button.
void SetWindowIcons(HWND window, HINSTANCE instance);

// Adds "About h8sx-writer" to the window's system menu.
void AddAboutEntry(HWND window);

// Writes text for the command line: to the standard output where one was handed over,
// else to the console of the prompt the program was started from, else into a box.
void AnswerCommandLine(const std::string& text);

}  // namespace h8sx::win32
