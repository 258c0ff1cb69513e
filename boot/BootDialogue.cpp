#include "boot/BootDialogue.h"

#include <algorithm>

#include "app/Texts.h"
#include "boot/BootAnswers.h"
#include "serial/ComLink.h"

namespace h8sx {

namespace {

constexpr int kMatchingAttempts = 10;
// A board that is there answers one of the first of these (asked whether it is there).
constexpr int kAskingAttempts = 3;
constexpr std::int32_t kMatchTicks = 2;     // per attempt: 100 to 200 ms
constexpr std::int32_t kConfirmTicks = 10;  // for the 0xE6 after 0x55

// Distance from the 0x30 of the supported-device answer to the device code: behind the
// size, the number of devices and the number of characters.
constexpr std::size_t kDeviceCodeDistance = 4;

// The most of an answer kept to explain a failed step.
constexpr std::size_t kHeardLimit = 256;
// How long the code byte of an error answer is awaited behind its first byte.
constexpr std::int32_t kErrorCodeTicks = 2;

}  // namespace

void PulseBootReset(ComLink& link) {
    link.EscapeCommFunction(Escape::CLRDTR);
    link.EscapeCommFunction(Escape::CLRRTS);
    link.WaitTicks(1);
    link.EscapeCommFunction(Escape::SETDTR);
    link.EscapeCommFunction(Escape::CLRRTS);
}

BootDialogue::BootDialogue(ComLink& link, BootClient& client, bool explain, WriteResult& result)
    : link_(link), client_(client), explain_(explain), result_(result) {}

bool BootDialogue::Stopped() {
    if (!link_.Interrupted()) return false;
    result_.outcome = link_.Lost() ? WriteOutcome::PortLost : WriteOutcome::Stopped;
    return true;
}


bool BoardAnswersMatching(ComLink& link) {
    PulseBootReset(link);
    // Only a 00 that came counts (the write's matching takes any short read).
    link.Exchange("bit-rate matching: is a board there");
    for (int attempt = 0; attempt < kAskingAttempts && !link.Interrupted(); ++attempt) {
        link.PurgeReceive();
        link.SendBytes(&boot::kMatchByte, 1);
        std::uint8_t answer = 0xFF;
        if (link.AwaitBytes(std::span(&answer, 1), kMatchTicks) == 1 && answer == boot::kMatchByte) return true;
    }
    return false;
}

bool BootDialogue::MatchBitRate() {
    client_.Stage(WriteStage::Matching);
    PulseBootReset(link_);  // on whatever port is open now
    const bool opened = client_.OpenPort(kMatchingBitRate);
    client_.BeepIfSound();
    link_.EscapeCommFunction(Escape::CLRRTS);
    client_.ShowStatus(text::kMatching);
    PulseBootReset(link_);

    std::array<std::uint8_t, kScanLength> buffer{};
    bool answered = false;
    link_.Exchange("bit-rate matching");
    for (std::uint8_t attempts = 0; attempts < kMatchingAttempts && !answered && !link_.Interrupted();
         ++attempts) {
        link_.SendBytes(&boot::kMatchByte, 1);
        // 0x00 is also what the buffer is cleared to: any read shorter than 20 bytes counts.
        answered = link_.AwaitBootResponse(buffer, kMatchTicks, 0, boot::kMatchByte).has_value();
    }
    if (!answered) {
        if (Stopped()) return false;
        client_.ShowStatus(text::kNoBoard);
        result_.outcome = opened ? WriteOutcome::NoBoard : WriteOutcome::PortNotOpened;
        return false;
    }
    client_.ShowStatus(text::kMatchAnswered);

    client_.ShowStatus(text::kMatchDone);
    link_.Exchange("bit-rate matching confirmation");
    link_.SendBytes(&boot::kMatchConfirm, 1);
    std::vector<std::uint8_t> heard;
    const auto hear = [&](std::span<const std::uint8_t> read) {
        if (explain_ && heard.size() < kScanLength) heard.insert(heard.end(), read.begin(), read.end());
        return false;
    };
    if (!link_.AwaitBootResponse(buffer, kConfirmTicks, 0, boot::kMatchConfirmed, hear)) {
        if (Stopped()) return false;
        if (explain_)
            result_.dialogue = {heard.empty() ? DialogueFault::Kind::NoAnswer : DialogueFault::Kind::Unexpected,
                                "bit-rate matching", boot::kMatchConfirm, heard, 0, 0};
        client_.BeepIfSound();
        client_.ShowStatus(text::kNoCpuAnswer);
        result_.outcome = WriteOutcome::NoBoard;
        return false;
    }
    client_.ShowStatus(text::kConfirmAnswered);
    return true;
}

bool BootDialogue::NotThisDevice(std::span<const std::uint8_t> answer) {
    client_.ShowStatus(text::kNotThisDevice);  // no beep, and the selection is not sent
    if (explain_)
        result_.dialogue = DialogueFault{DialogueFault::Kind::WrongDevice, exchange::SupportedDeviceInquiry.name,
                                         boot::kSupportedDeviceInquiry,
                                         {answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                              answer.size(), AnswerLength(answer).value_or(0)))},
                                         0, 0};
    return false;
}

bool BootDialogue::SelectDevice() {
    using namespace exchange;
    client_.Stage(WriteStage::Dialogue);
    std::array<std::uint8_t, 7> selection{boot::kDeviceSelection, 0x04};
    if (explain_) {
        // 1, 2. The answer read whole, the code taken from its place in it.
        if (!Ask(SupportedDeviceInquiry)) return Fail("ERR1 応答ありません");
        client_.ShowStatus("応答ありました３");
        std::copy(result_.board.deviceCode->begin(), result_.board.deviceCode->end(), selection.begin() + 2);
        selection[6] = BootChecksum(selection.data(), 6);
        if (selection[6] != boot::kDeviceSelectionChecksum) return NotThisDevice(heard_);
    } else {
        // 1. Which device is there.
        const auto at = Exchange(SupportedDeviceInquiry);
        if (!at) return Fail("ERR1 応答ありません");
        client_.ShowStatus("応答ありました３");
        // 2. The device code stands at distances 4 to 7 from the 0x30, wherever that was
        //    found; positions the read did not fill count as zero.
        for (std::size_t i = 0; i < 4; ++i) selection[2 + i] = ResponseBuffer[*at + kDeviceCodeDistance + i];
        selection[6] = BootChecksum(selection.data(), 6);
        if (selection[6] != boot::kDeviceSelectionChecksum) return NotThisDevice(std::span(ResponseBuffer).subspan(*at));
    }

    // 3 to 6.
    if (!Step(DeviceSelection, {"応答ありました4", "ERR 応答ありません4"}, selection.data())) return false;
    if (explain_) {
        if (!Ask(ClockModeInquiry)) return Fail("ERR 応答ありません5");
        client_.ShowStatus("応答ありました5");
    } else if (!Step(ClockModeInquiry, {"応答ありました5", "ERR 応答ありません5"})) {
        return false;
    }
    return Step(ClockModeSelection, {"応答ありました6", "クロックモードＥＲＲ６"});
}

bool BootDialogue::Ask(const BootExchange& x) {
    const std::uint8_t command = x.command[0];
    const AnswerLayout* layout = LayoutOf(command);
    SendBootPacket(link_, x.command.data(), x.length, x.name);
    heard_.clear();
    const auto unanswered = [&] {
        if (!Stopped()) Explain(x.name, command, x.awaited);
        return false;
    };
    // The answer's first byte; stray bytes ahead of it pass, as they pass the window's scan.
    std::uint8_t first = 0;
    for (;;) {
        if (link_.AwaitBytes(std::span(&first, 1), x.ticks) < 1) return unanswered();
        if (first == *x.awaited) break;
        Heard(std::span(&first, 1));
        if (ErrorAnswerAt(command) || heard_.size() >= kScanLength) return unanswered();
    }
    // Its size, then the data and the SUM as many as the size says.
    heard_.assign(1 + layout->sizeBytes, 0);
    heard_[0] = first;
    std::size_t got = 1 + link_.AwaitBytes(std::span(heard_).subspan(1), x.ticks);
    std::size_t length = got == heard_.size() ? *AnswerLength(heard_) : heard_.size() + 1;
    if (got == heard_.size()) {
        heard_.resize(length);
        got += link_.AwaitBytes(std::span(heard_).subspan(got), x.ticks);
    }
    if (got < length) {
        if (Stopped()) return false;
        heard_.resize(got);
        result_.dialogue = {DialogueFault::Kind::ShortAnswer, x.name, command, heard_, length, 0};
        return false;
    }
    switch (ReadAnswer(command, heard_, result_.board)) {
        case AnswerCheck::Good: return true;
        case AnswerCheck::BadSum:
            result_.dialogue = {DialogueFault::Kind::BadSum, x.name, command, heard_, 0, 0};
            return false;
        default:
            result_.dialogue = {DialogueFault::Kind::BadLayout, x.name, command, heard_, 0, 0};
            return false;
    }
}

std::optional<std::size_t> BootDialogue::Exchange(const BootExchange& x, const std::uint8_t* command) {
    const std::uint8_t* cmd = command ? command : x.command.data();
    SendBootPacket(link_, cmd, x.length, x.name);
    if (x.pauseTicks) link_.WaitTicks(x.pauseTicks);
    if (!explain_) return link_.AwaitBootResponse(ResponseBuffer, x.ticks, x.threshold, x.awaited);
    heard_.clear();
    const auto at = link_.AwaitBootResponse(ResponseBuffer, x.ticks, x.threshold, x.awaited,
                                            [&](std::span<const std::uint8_t> read) {
                                                Heard(read);
                                                return ErrorAnswerAt(cmd[0]).has_value();
                                            });
    if (!at && !link_.Interrupted()) Explain(x.name, cmd[0], x.awaited);
    return at;
}

void BootDialogue::Heard(std::span<const std::uint8_t> bytes) {
    const std::size_t room = kHeardLimit - std::min(kHeardLimit, heard_.size());
    heard_.insert(heard_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(room, bytes.size())));
}

std::optional<std::size_t> BootDialogue::ErrorAnswerAt(std::uint8_t command) const {
    for (std::size_t i = 0; i < heard_.size(); ++i) {
        if (heard_[i] == (command | boot::kErrorBit)) return i;
        if (heard_[i] == boot::kCommandRefused && (i + 1 == heard_.size() || heard_[i + 1] == command)) return i;
    }
    return std::nullopt;
}

void BootDialogue::Explain(const char* step, std::uint8_t command, std::optional<std::uint8_t> awaited) {
    std::array<std::uint8_t, kHeardLimit> more{};
    Heard(std::span(more.data(), link_.Read(more.data(), std::min<std::size_t>(link_.BytesWaiting(), more.size()))));
    DialogueFault& fault = result_.dialogue;
    fault = DialogueFault{DialogueFault::Kind::NoAnswer, step, command, {}, 0, 0};
    if (const auto at = ErrorAnswerAt(command)) {
        if (*at + 1 == heard_.size()) {
            std::uint8_t code = 0;
            if (link_.AwaitBytes(std::span(&code, 1), kErrorCodeTicks) == 1) heard_.push_back(code);
        }
        fault.kind = heard_[*at] == boot::kCommandRefused ? DialogueFault::Kind::NotTaken
                                                          : DialogueFault::Kind::ErrorAnswer;
        fault.answer.assign(heard_.begin() + static_cast<std::ptrdiff_t>(*at),
                            heard_.begin() + static_cast<std::ptrdiff_t>(std::min(*at + 2, heard_.size())));
        return;
    }
    if (heard_.empty()) return;
    fault.answer = heard_;
    fault.kind = DialogueFault::Kind::Unexpected;
    // An answer that began but did not come whole: its size says how long it is.
    if (awaited && heard_[0] == *awaited)
        if (const auto length = AnswerLength(heard_); length && heard_.size() < *length) {
            fault.kind = DialogueFault::Kind::ShortAnswer;
            fault.expected = *length;
        }
}

bool BootDialogue::Step(const BootExchange& x, StepTexts texts, const std::uint8_t* command) {
    if (!Exchange(x, command)) return Fail(texts.fail);
    client_.ShowStatus(texts.ok);
    return true;
}

bool BootDialogue::Fail(const char* message) {
    client_.BeepIfSound();
    client_.ShowStatus(message);
    return false;
}

}  // namespace h8sx
