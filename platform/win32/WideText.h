// Texts stay UTF-8 everywhere in the program; Windows' wide-character calls get UTF-16,
// converted here at the boundary.
#pragma once

#include <string>

namespace h8sx::win32 {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);

}  // namespace h8sx::win32
