// The part of a test toolkit that stands in for the windows: it records what the operator
// would see and hear, answers the open dialog from a queue, and keeps the monitor's text.
// Subclasses bring the clock and the message pump.
#pragma once

#include <optional>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "app/Toolkit.h"

namespace h8sx::test {

// The status texts of FWRITE from the click to the chip waiting for programming data.
inline const std::vector<std::string> kSuccessfulDialogue{
    "ビットレート合わせ", "応答ありました1",  "ビットレート調整終了", "応答ありました２", "応答ありました３",
    "応答ありました4",   "応答ありました5",  "応答ありました6",     "応答ありました7",  "応答ありました8",
    "応答ありました9",   "応答ありました10", "内部ＲＯＭ消去中",    "内部ＲＯＭ消去しました", "ブートマット選択"};

class RecordingToolkit : public Toolkit {
public:
    // What the operator saw and heard, in order: "status:<text>", "beep", "port:<i>",
    // "sound:on"/"sound:off".
    std::vector<std::string> events;
    std::vector<std::string> Statuses() const;
    int Beeps() const;

    std::vector<std::pair<int, int>> progress;             // (position, maximum) as set
    std::queue<std::optional<std::string>> dialogAnswers;  // next RunOpenDialog results
    int dialogs = 0;
    int monitorShown = 0;
    std::string monitorText = "\n";  // the text box starts holding one empty line

    void Beep() override { Record("beep"); }
    void SetStatusText(const std::string& t) override { Record("status:" + t); }
    void SetProgress(int position, int maximum) override { progress.emplace_back(position, maximum); }
    void SetPortButton(int index) override { Record("port:" + std::to_string(index)); }
    void SetSoundBox(bool ticked) override { Record(ticked ? "sound:on" : "sound:off"); }
    std::optional<std::string> RunOpenDialog() override;
    void ShowMonitorWindow() override { ++monitorShown; }
    void AppendMonitorText(const std::string& t) override { monitorText += t; }
    void ClearMonitorText() override { monitorText.clear(); }
    void DropOldestMonitorLines(std::size_t lines, std::size_t characters) override;
    std::size_t droppedLines = 0, droppedCharacters = 0;

protected:
    virtual void Record(const std::string& event) { events.push_back(event); }
};

}  // namespace h8sx::test
