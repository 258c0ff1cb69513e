// What the bytes on the line are, told by the core to whoever listens (a trace of the line):
// each exchange's name before its command goes out, and what the core made of an answer.
// Nothing listens unless a client asks for a trace; the core then pays for the words alone.
#pragma once

#include <string>

namespace h8sx {

class WireNotes {
public:
    virtual ~WireNotes() = default;
    // The bytes sent next, and the answers read after them, belong to this exchange
    // ("device selection", "block 12 at 0x000580").
    virtual void Exchange(const std::string& what) = 0;
    // A line of its own: a decision, what an answer meant for the write.
    virtual void Note(const std::string& text) = 0;
};

}  // namespace h8sx
