// Keeps the monitor's text bounded: a board left printing overnight must not fill the
// machine's memory. The text box holds at least the newest kMonitorKeep characters; once
// it has grown kMonitorSlack beyond that (a few ticks of nonstop text), its oldest whole
// lines go in one cut, so that a text box that moves its whole text on a cut (the Win32
// edit control) does so only now and then, and a cut stays small for one that pays by
// the lines it removes (Qt). Only line lengths are kept here: a tick costs in proportion
// to its new text.
#pragma once

#include <cstddef>
#include <deque>
#include <string_view>

namespace h8sx {

inline constexpr std::size_t kMonitorKeep = 1'000'000;
inline constexpr std::size_t kMonitorSlack = 2'000;

class MonitorLines {
public:
    // Characters are Unicode characters, a line end counting as one.
    struct Cut {
        std::size_t lines = 0;
        std::size_t characters = 0;
    };

    // The text box starts holding one empty line.
    MonitorLines() { Clear(1); }
    // The text box now holds `emptyLines` empty lines and nothing else.
    void Clear(std::size_t emptyLines = 0);
    // Counts UTF-8 text appended to the text box; returns the oldest lines to cut now.
    Cut Append(std::string_view utf8);
    std::size_t Characters() const { return total_; }

private:
    std::deque<std::size_t> lines_;  // lengths of the whole lines, oldest first
    std::size_t open_ = 0;           // characters of the last line, not ended yet
    std::size_t total_ = 0;
};

}  // namespace h8sx
