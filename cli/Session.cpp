#include "cli/Session.h"

#include <cerrno>

#include "app/Settings.h"
#include "boot/WireTrace.h"
#include "cli/Commands.h"
#include "cli/CliPump.h"
#include "cli/System.h"
#include "monitor/OwnProgram.h"

namespace h8sx::cli {

namespace {

// The port the window's settings file ticks, as the window would open it; COM1 without one.
// The file is only read: the windows own it. `origin` says where the name came from.
std::string SettingsPort(Platform& platform, std::string& origin) {
    const auto settings = ReadSettings(platform);
    const std::string path = SettingsPath(platform);
    const auto port = settings ? SettingsPortIndex((*settings)[0]) : std::nullopt;
    const std::string name = PortName(port.value_or(0));
    if (!settings)
        origin = name + " is the window's first port, taken because there is no settings file " + path;
    else if (!port)
        origin = name + " is the window's first port, taken because the settings file " + path + " ticks none";
    else
        origin = name + " is the port ticked in the window's settings file " + path;
    return name;
}

}  // namespace

Session::Session(const Options& o, SerialDevice& device, Platform& p, Pump& pu, Output& output)
    : options(o), platform(p), pump(pu), out(output), link(device, pu, TickCount) {
    portName = !o.ports.empty() ? o.ports.front() : SettingsPort(platform, portOrigin);
    // A port that goes away ends every wait at once: nothing more can come.
    link.endWaitsWhenLost = true;
}

void Session::Tick() {
    if (onReceived) {
        if (const std::string text = ReadReceived(link, decoder_); !text.empty()) onReceived(text);
    }
    if (TickCount != 0) --TickCount;
}

bool Session::OpenPort(std::uint32_t bitRate, bool report) {
    if (link.ReplaceHandle(PortDevice(portName))) {
        link.Configure(bitRate);
        return true;
    }
    if (!report) return false;
    const OpenError e = link.LastOpenError();
    const std::string shown = PortDeviceShown(portName);
    std::string text = "cannot open the port " + PortShown();
    if (!e.text.empty()) text += ": " + e.text;
    if (const std::string remedy = OpenFailureRemedy(e, shown.empty() ? portName : shown); !remedy.empty())
        text += "\n  " + remedy;
    if (!portOrigin.empty()) text += "\n  " + portOrigin + "; --port chooses another";
    out.Error(text);
    return false;
}

std::string Session::PortShown() const {
    const std::string shown = PortDeviceShown(portName);
    const std::string origin = PortDeviceOrigin(portName);
    if (shown.empty()) return portName;
    return portName + " (" + shown + (origin.empty() ? "" : ", from " + origin) + ")";
}

std::string Session::PortGone() const {
    return "the port " + PortShown() + " went away (the adapter was unplugged or the board lost power)";
}

void Session::RestartBoard() { RestartOwnProgram(link); }

int Session::StoppedStatus() {
    if (link.Lost()) return kPortNotOpened;
    if (!out.Failed()) return kInterrupted;
    return out.Failure().error == EPIPE ? kUsage : kFileFailed;
}

struct SystemSession::Parts {
    Parts(const Options& o, std::optional<std::string> port, Output& out)
        : options(o),
          serial(NewSerialDevice()),
          platform(NewPlatform()),
          pump(serial.waitDescriptor, [&out] { return out.Failed(); }),
          traceFile(o.trace ? std::fopen(TraceFileOf(*o.trace, port.value_or(""), o.ports.size() > 1).c_str(), "w")
                            : nullptr,
                    [](std::FILE* f) { return f ? std::fclose(f) : 0; }),
          // Each line flushed as it is made: a hang or a kill leaves the trace whole.
          trace(*serial.device,
                [f = traceFile.get()](const std::string& line) {
                    std::fwrite(line.data(), 1, line.size(), f);
                    std::fflush(f);
                }),
          device(traceFile ? static_cast<SerialDevice&>(trace) : *serial.device, [this] { return pump.StopRequested(); }) {
        if (port) options.ports = {*port};
    }
    Options options;
    SystemSerial serial;
    std::unique_ptr<Platform> platform;
    CliPump pump;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> traceFile;
    WireTrace trace;
    StoppableDevice device;
    std::unique_ptr<Session> session;
};

SystemSession::SystemSession(const Options& options, std::optional<std::string> port, Output& out)
    : parts_(std::make_unique<Parts>(options, std::move(port), out)) {
    Parts& p = *parts_;
    p.session = std::make_unique<Session>(p.options, p.device, *p.platform, p.pump, out);
    session_ = p.session.get();
    p.pump.link = &session_->link;
    p.pump.onTick = [s = session_] { s->Tick(); };
    session_->watchInput = [&pump = p.pump](bool watch) { pump.watchInput = watch; };
    if (p.traceFile) session_->link.notes = &p.trace;
}

SystemSession::~SystemSession() = default;

}  // namespace h8sx::cli
