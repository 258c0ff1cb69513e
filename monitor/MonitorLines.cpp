#include "monitor/MonitorLines.h"

namespace h8sx {

void MonitorLines::Clear(std::size_t emptyLines) {
    lines_.assign(emptyLines, 1);
    open_ = 0;
    total_ = emptyLines;
}

MonitorLines::Cut MonitorLines::Append(std::string_view utf8) {
    for (const char c : utf8) {
        if ((static_cast<unsigned char>(c) & 0xC0) == 0x80) continue;  // inside a character
        ++open_;
        ++total_;
        if (c == '\n') {
            lines_.push_back(open_);
            open_ = 0;
        }
    }
    Cut cut;
    if (total_ <= kMonitorKeep + kMonitorSlack) return cut;
    while (!lines_.empty() && total_ - lines_.front() >= kMonitorKeep) {
        ++cut.lines;
        cut.characters += lines_.front();
        total_ -= lines_.front();
        lines_.pop_front();
    }
    return cut;
}

}  // namespace h8sx
