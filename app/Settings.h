// The settings file: three characters (port digit, sound flag and a reserved character)
// in Platform::SettingsDirectory (beside the program, unless the platform keeps it
// elsewhere). The window reads it when it is first shown and rewrites it whenever the
// operator changes the port or SOUND; the command line only reads it.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "app/Platform.h"

namespace h8sx {

inline constexpr const char* kSettingsFileName = "vtq1653.par";
inline constexpr int kPortCount = 6;

// "COM1".."COM6" for the port buttons 0..5.
const char* PortName(int index);

// The settings file's path: SettingsDirectory() and the file's name.
std::string SettingsPath(Platform& platform);
// The settings file's three characters, as the window reads them (a position past the
// end of the file holds the end-of-file value cut to a byte); nothing when there is none.
std::optional<std::array<unsigned char, 3>> ReadSettings(Platform& platform);
// The port button (0..5) a settings file's port digit ticks; nothing for another character.
std::optional<int> SettingsPortIndex(unsigned char digit);

}  // namespace h8sx
