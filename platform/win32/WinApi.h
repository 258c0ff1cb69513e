// <windows.h> for the Windows layers. The core spells its serial constants as Windows
// does (NOPARITY, SETRTS, ...) and has a CreateFile of its own; the system's macros of
// those names would rewrite the core's declarations, so they are kept here under other
// names and removed.
#pragma once

#include <windows.h>

namespace h8sx::win32::api {
inline constexpr DWORD kSetRts = SETRTS;
inline constexpr DWORD kClrRts = CLRRTS;
inline constexpr DWORD kSetDtr = SETDTR;
inline constexpr DWORD kClrDtr = CLRDTR;
}  // namespace h8sx::win32::api

#undef CreateFile
#undef NOPARITY
#undef ONESTOPBIT
#undef SETRTS
#undef CLRRTS
#undef SETDTR
#undef CLRDTR
