#include "tests/support/RecordingToolkit.h"

#include <algorithm>

namespace h8sx::test {

std::vector<std::string> RecordingToolkit::Statuses() const {
    std::vector<std::string> out;
    for (const auto& e : events)
        if (e.rfind("status:", 0) == 0) out.push_back(e.substr(7));
    return out;
}

int RecordingToolkit::Beeps() const { return static_cast<int>(std::count(events.begin(), events.end(), "beep")); }

std::optional<std::string> RecordingToolkit::RunOpenDialog() {
    ++dialogs;
    if (dialogAnswers.empty()) return std::nullopt;
    auto a = dialogAnswers.front();
    dialogAnswers.pop();
    return a;
}

void RecordingToolkit::DropOldestMonitorLines(std::size_t lines, std::size_t characters) {
    droppedLines += lines;
    droppedCharacters += characters;
    std::size_t cut = 0;
    for (std::size_t i = 0; i < lines && cut != std::string::npos; ++i) cut = monitorText.find('\n', cut) + 1;
    monitorText.erase(0, cut);
}

}  // namespace h8sx::test
