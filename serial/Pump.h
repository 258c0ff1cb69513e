// What a wait on the port runs while it waits: the client's message pump. The windows
// handle their pending messages (the 100 ms tick among them) so that they stay live during
// every exchange; the command line sleeps on the port and fires the tick from its clock;
// the tests move a virtual clock.
#pragma once

namespace h8sx {

class Pump {
public:
    virtual ~Pump() = default;

    // Handles every pending message (timer ticks and clicks included) and returns.
    virtual void ProcessMessages() = 0;
    // The same, called by the waits: first sleeps until a message is pending, the open
    // port has received a byte, or a short while (a millisecond or two) has passed, so
    // that a wait keeps the windows live without keeping a core busy.
    virtual void WaitAndProcessMessages() = 0;
    // A client without windows (the command line) asks the operation under way to stop:
    // the waits for an answer end at once, so that nothing more is sent after the
    // exchange in progress. The windows never ask.
    virtual bool StopRequested() { return false; }
};

}  // namespace h8sx
