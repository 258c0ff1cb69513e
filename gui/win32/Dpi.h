// The windows at the screen's scale: the layout tables are in pixels at 96 DPI, and every
// position, size and font height from them reaches the screen through Scale, so that a
// window at 144 DPI is the one at 96 DPI half as large again, with crisp glyphs.
#pragma once

#include "platform/win32/WinApi.h"

namespace h8sx::win32 {

// The DPI the tables are laid out at.
inline constexpr UINT kTableDpi = 96;

// A length from the tables at `dpi`: the one rounding used for every length.
int Scale(int tablePixels, UINT dpi);

// The DPI of the primary screen, and of the screen a window is on (the same where the
// system has no DPI per screen).
UINT SystemDpi();
UINT WindowDpi(HWND window);

// The outer size of a window of those styles whose client area is `client`, with the
// frame and title bar the system draws at `dpi`.
SIZE OuterSize(SIZE client, DWORD style, DWORD exStyle, UINT dpi);

}  // namespace h8sx::win32
