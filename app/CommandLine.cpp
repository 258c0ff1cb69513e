#include "app/CommandLine.h"

#include <cstring>

#include "Version.h"

namespace h8sx {

WriterRequest WriterRequestOf(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) return WriterRequest::Version;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return WriterRequest::Help;
    }
    return WriterRequest::Run;
}

std::string VersionLine(const char* program) { return std::string(program) + " " + kVersion + "\n"; }

const char* const kWriterUsage = R"(Usage: h8sx-writer [--version | --help]
The flash writer and serial monitor for H8SX1622 boards, in two windows.
FWRITE resets the board into the chip's boot program through the port's DTR and
RTS lines, erases the flash and writes a Motorola S-record file (S1, S2 or S3
records) into it, then restarts the board into its own program. VIEW opens the
monitor window: what the board's program sends, and a keyboard whose keys each
send one character. CPU_RESET restarts the board; RAM_WRITE restarts it and
sends an S-record file to its program as text.

Options
  --version            print the version and end
  --help               show this text and end

Ports
  The port is chosen among COM1 to COM6 in the window. On Linux, COMn is the
  device named in the environment variable H8SX_COMn (for example
  H8SX_COM1=/dev/ttyUSB0) when it is set. The user needs access to the device
  (on Debian: the dialout group).

Files
  vtq1653.par          the chosen port and the SOUND option, beside the
                       program, or where that directory cannot be written (an
                       installed program) in $XDG_CONFIG_HOME/h8sx-writer/
                       (by default ~/.config/h8sx-writer/)
)";

}  // namespace h8sx
