// The writer's own command line. The windows take no arguments; these two answer on the
// standard output and end the program before any window is made.
#pragma once

#include <string>

namespace h8sx {

enum class WriterRequest { Run, Version, Help };

// What argv asks of the writer. Anything else on the line is left to the toolkit.
WriterRequest WriterRequestOf(int argc, const char* const* argv);

// "PROGRAM VERSION" and a line end, as every program of the project prints it.
std::string VersionLine(const char* program);

// The text of h8sx-writer --help (its man page is made from it).
extern const char* const kWriterUsage;

}  // namespace h8sx
