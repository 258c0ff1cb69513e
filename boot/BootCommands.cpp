// The boot-mode dialogue after bit-rate matching: identify and select the device and its
// clock mode, ask for the clock figures, move the line to the programming rate, erase the
// flash and select programming of the user MAT. Each step shows how far it got; the first
// failure ends the dialogue with its own text and nothing more is sent.
#include <array>

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

class BootDialogue {
public:
    BootDialogue(ComLink& link, WriteClient& client) : client_(client), link_(link) {}

    // Sends the exchange's command (or `command` in its place) and awaits its answer.
    std::optional<std::size_t> Exchange(const BootExchange& x, const std::uint8_t* command = nullptr) {
        SendBootPacket(link_, command ? command : x.command.data(), x.length);
        if (x.pauseTicks) link_.WaitTicks(x.pauseTicks);
        return link_.AwaitBootResponse(ResponseBuffer, x.ticks, x.threshold, x.awaited);
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
    std::array<std::uint8_t, kResponseBufferSize> ResponseBuffer{};
};

}  // namespace

int FlashWrite::RunBootCommands() {
    using namespace exchange;
    BootDialogue d(link_, client_);

    // 1. Which device is there.
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

    // 9. Both sides now change rate; only the rate of the kept DCB changes.
    link_.ComDcb.BaudRate = options_.bitRate;
    link_.ApplyDcb();
    link_.EscapeCommFunction(Escape::CLRRTS);

    // 10. The first bytes at the new rate.
    if (!d.Step(BitRateConfirmation, {"応答ありました10", "新ビットレートERR10"})) return 1;

    // 11. The chip erases its flash before it acknowledges: up to 300 ticks.
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
