// The boot-mode dialogue after bit-rate matching: identify and select the device and its
// clock mode, ask for the clock figures, move the line to the programming rate, erase the
// flash and select programming of the user MAT. Each step shows how far it got; the first
// failure ends the dialogue with its own text and nothing more is sent.
#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "app/Texts.h"
#include "boot/BootProtocol.h"
#include "boot/FlashWrite.h"
#include "serial/ComLink.h"

namespace h8sx {

void SendBootPacket(ComLink& link, const std::uint8_t* bytes, std::size_t length) {
    link.PurgeReceive();
    link.SendBytes(bytes, length);
}

namespace {

// What a step shows on success and on failure, and whether its failure beeps.
struct StepTexts {
    const char* ok;
    const char* fail;
};

// Distance from the 0x30 of the supported-device answer to the device code: behind the
// size, the number of devices and the number of characters.
constexpr std::size_t kDeviceCodeDistance = 4;
constexpr std::size_t kResponseBufferSize = 200;

// The most of an answer kept to explain a failed step.
constexpr std::size_t kHeardLimit = 256;
// How long the code byte of an error answer is awaited behind its first byte.
constexpr std::int32_t kErrorCodeTicks = 2;

class BootDialogue {
public:
    BootDialogue(ComLink& link, WriteClient& client, bool explain, DialogueFault& fault)
        : client_(client), link_(link), explain_(explain), fault_(fault) {}

    // Sends the exchange's command (or `command` in its place) and awaits its answer.
    // Explaining, an error answer ends the wait at once, and a step that fails keeps what
    // the board said.
    std::optional<std::size_t> Exchange(const BootExchange& x, const std::uint8_t* command = nullptr) {
        const std::uint8_t* cmd = command ? command : x.command.data();
        SendBootPacket(link_, cmd, x.length);
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

    void Heard(std::span<const std::uint8_t> bytes) {
        const std::size_t room = kHeardLimit - std::min(kHeardLimit, heard_.size());
        heard_.insert(heard_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(room, bytes.size())));
    }

    // Where the bytes heard hold an error answer to `command`: its code with bit 7 set, or
    // 80 and the command (the command not taken here).
    std::optional<std::size_t> ErrorAnswerAt(std::uint8_t command) const {
        for (std::size_t i = 0; i < heard_.size(); ++i) {
            if (heard_[i] == (command | boot::kErrorBit)) return i;
            if (heard_[i] == boot::kCommandRefused && (i + 1 == heard_.size() || heard_[i + 1] == command)) return i;
        }
        return std::nullopt;
    }

    // What the board answered to a step that failed: the bytes heard, and what still waits
    // (an answer that never grew past the step's threshold).
    void Explain(const char* step, std::uint8_t command, std::optional<std::uint8_t> awaited) {
        std::array<std::uint8_t, kHeardLimit> more{};
        Heard(std::span(more.data(), link_.Read(more.data(), std::min<std::size_t>(link_.BytesWaiting(), more.size()))));
        fault_ = DialogueFault{DialogueFault::Kind::NoAnswer, step, command, {}, 0};
        if (const auto at = ErrorAnswerAt(command)) {
            if (*at + 1 == heard_.size()) {
                std::uint8_t code = 0;
                if (link_.AwaitBytes(std::span(&code, 1), kErrorCodeTicks) == 1) heard_.push_back(code);
            }
            fault_.kind = heard_[*at] == boot::kCommandRefused ? DialogueFault::Kind::NotTaken
                                                                : DialogueFault::Kind::ErrorAnswer;
            fault_.answer.assign(heard_.begin() + static_cast<std::ptrdiff_t>(*at),
                                 heard_.begin() + static_cast<std::ptrdiff_t>(std::min(*at + 2, heard_.size())));
            return;
        }
        if (heard_.empty()) return;
        fault_.answer = heard_;
        fault_.kind = DialogueFault::Kind::Unexpected;
        // An answer that began but did not come whole: its size says how long it is.
        if (awaited && heard_[0] == *awaited)
            if (const auto length = AnswerLength(heard_); length && heard_.size() < *length) {
                fault_.kind = DialogueFault::Kind::ShortAnswer;
                fault_.expected = *length;
            }
    }

    // One exchange with its texts; false after a failure (beep, then its text).
    bool Step(const BootExchange& x, StepTexts texts, const std::uint8_t* command = nullptr) {
        if (!Exchange(x, command)) return Fail(texts.fail);
        client_.ShowStatus(texts.ok);
        return true;
    }

    bool Fail(const char* message) {
        client_.BeepIfSound();
        client_.ShowStatus(message);
        return false;
    }

    WriteClient& client_;
    ComLink& link_;
    const bool explain_;
    DialogueFault& fault_;
    std::vector<std::uint8_t> heard_;
    std::array<std::uint8_t, kResponseBufferSize> ResponseBuffer{};
};

}  // namespace

int FlashWrite::RunBootCommands() {
    using namespace exchange;
    BootDialogue d(link_, client_, options_.explain, result_.dialogue);

    // 1. Which device is there.
    client_.Stage(WriteStage::Dialogue);
    const auto at = d.Exchange(SupportedDeviceInquiry);
    if (!at) return d.Fail("ERR1 応答ありません"), 1;
    client_.ShowStatus("応答ありました３");

    // 2. The device code stands at distances 4 to 7 from the 0x30, wherever that was found;
    //    positions the read did not fill count as zero.
    std::array<std::uint8_t, 7> selection{boot::kDeviceSelection, 0x04};
    for (std::size_t i = 0; i < 4; ++i) selection[2 + i] = d.ResponseBuffer[*at + kDeviceCodeDistance + i];
    selection[6] = BootChecksum(selection.data(), 6);
    if (selection[6] != boot::kDeviceSelectionChecksum) {
        client_.ShowStatus(text::kNotThisDevice);  // no beep, and the selection is not sent
        if (options_.explain) {
            const auto answer = std::span(d.ResponseBuffer).subspan(*at);
            result_.dialogue = DialogueFault{DialogueFault::Kind::WrongDevice, SupportedDeviceInquiry.name,
                                             boot::kSupportedDeviceInquiry,
                                             {answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                                  answer.size(), AnswerLength(answer).value_or(0)))},
                                             0};
        }
        return 1;
    }

    // 3 to 8.
    if (!d.Step(DeviceSelection, {"応答ありました4", "ERR 応答ありません4"}, selection.data())) return 1;
    if (!d.Step(ClockModeInquiry, {"応答ありました5", "ERR 応答ありません5"})) return 1;
    if (!d.Step(ClockModeSelection, {"応答ありました6", "クロックモードＥＲＲ６"})) return 1;
    if (!d.Step(RatioInquiry, {"応答ありました7", "ERR 応答ありません7"})) return 1;
    if (!d.Step(FrequencyInquiry, {"応答ありました8", "ERR 応答ありません8"})) return 1;
    // Any answer counts here, a refusal included: it shows at the confirmation.
    const auto newBitRate = NewBitRateCommand(options_.bitRate);
    if (!d.Step(NewBitRate, {"応答ありました9", "新ビットレートERR9"}, newBitRate.data())) return 1;
    result_.bitRateRefused = d.ResponseBuffer[0] == (boot::kNewBitRate | boot::kErrorBit);
    if (result_.bitRateRefused && options_.explain) {
        // The window goes on and fails at the confirmation; the refusal says more.
        d.heard_.assign(d.ResponseBuffer.begin(), d.ResponseBuffer.begin() + 2);
        if (d.heard_[1] == 0) d.heard_.pop_back();
        d.Explain(NewBitRate.name, boot::kNewBitRate, std::nullopt);
        return d.Fail("新ビットレートERR9"), 1;
    }

    // 9. Both sides now change rate; only the rate of the kept DCB changes.
    link_.ComDcb.BaudRate = options_.bitRate;
    link_.ApplyDcb();
    link_.EscapeCommFunction(Escape::CLRRTS);

    // 10. The first bytes at the new rate.
    if (!d.Step(BitRateConfirmation, {"応答ありました10", "新ビットレートERR10"})) return 1;

    // 11. The chip erases its flash before it acknowledges: up to 300 ticks.
    client_.Stage(WriteStage::Erase);
    client_.ShowStatus(text::kErasing);
    result_.eraseStarted = true;
    if (!d.Step(ProgrammingState, {"内部ＲＯＭ消去しました", "消去ERR11"})) return 1;
    result_.erased = true;
    if (options_.verify != Verify::None && !VerifyErased()) return 1;

    // 12.
    if (!d.Step(UserMatSelection, {"ブートマット選択", "書き込み選択ERR12"})) return 1;
    return 0;
}

}  // namespace h8sx
