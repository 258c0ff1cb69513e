// h8sx: the writer from the command line. Arguments take the place of the window's
// clicks; the core does the rest.
#include <cerrno>
#include <cstdio>
#include <string>

#include "Version.h"
#include "cli/Arguments.h"
#include "cli/Output.h"
#include "cli/Session.h"
#include "cli/System.h"

namespace {

using namespace h8sx::cli;

// Help and version on standard output: a full disk or a closed pipe there is an error too.
int Print(const std::string& text) {
    WriteFailure failure;
    if (WriteAll(stdout, "standard output", text.data(), text.size(), failure)) return kDone;
    std::fprintf(stderr, "h8sx: %s\n", failure.Text().c_str());
    return failure.error == EPIPE ? kUsage : kFileFailed;
}

int Run(const std::vector<std::string>& argv) {
    const Invocation invocation = ParseArguments(argv);
    InstallStopHandlers();
    switch (invocation.action) {
        case Invocation::Action::Help: return Print(HelpText(invocation.command));
        case Invocation::Action::Version: return Print(std::string("h8sx ") + h8sx::kVersion + "\n");
        case Invocation::Action::Refused: std::fputs(UsageText(invocation).c_str(), stderr); return kUsage;
        case Invocation::Action::Run: break;
    }
    UseUtf8Console();
    return RunCommand(invocation.command, invocation.options);
}

}  // namespace

int main(int argc, char** argv) { return Run(Arguments(argc, argv)); }
