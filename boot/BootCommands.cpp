// The write's boot-mode dialogue after bit-rate matching: identify and select the device
// and its clock mode, ask for the clock figures, move the line to the programming rate,
// erase the flash and select programming of the user MAT. Each step shows how far it got;
// the first failure ends the dialogue with its own text and nothing more is sent.
#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "app/Texts.h"
#include "boot/BootDialogue.h"
#include "boot/BootProtocol.h"
#include "boot/FlashWrite.h"
#include "serial/ComLink.h"

namespace h8sx {

void SendBootPacket(ComLink& link, const std::uint8_t* bytes, std::size_t length, const char* what) {
    link.PurgeReceive();
    if (what) link.Exchange(what);
    link.SendBytes(bytes, length);
}

bool FlashWrite::FlashFitsImage(BootDialogue& d) {
    using namespace exchange;
    if (!d.Ask(UserMatInquiry) || !d.Ask(ProgrammingUnitInquiry)) return d.Fail("the board did not tell its flash");
    const BoardInfo& board = result_.board;
    const std::uint64_t bytes = std::uint64_t{BlockCount(*options_.imageBytes)} * boot::kBlockSize;
    if (!FitsUserMat(*board.userMat, bytes)) {
        result_.dialogue = {DialogueFault::Kind::TooLarge, UserMatInquiry.name, boot::kUserMatInquiry, d.heard_,
                            static_cast<std::size_t>(bytes), UserMatBytes(*board.userMat)};
        return d.Fail("the image is larger than the flash");
    }
    if (*board.programmingUnit != boot::kBlockSize) {
        result_.dialogue = {DialogueFault::Kind::WrongUnit, ProgrammingUnitInquiry.name,
                            boot::kProgrammingUnitInquiry, d.heard_, boot::kBlockSize, *board.programmingUnit};
        return d.Fail("the board programs in another unit");
    }
    return true;
}

int FlashWrite::RunBootCommands() {
    using namespace exchange;
    BootDialogue d(link_, client_, options_.explain, result_);

    // 1 to 6: the device and its clock mode.
    if (!d.SelectDevice()) return 1;

    // 7, 8.
    if (options_.explain) {
        if (!d.Ask(RatioInquiry)) return d.Fail("ERR 応答ありません7"), 1;
        client_.ShowStatus("応答ありました7");
        if (!d.Ask(FrequencyInquiry)) return d.Fail("ERR 応答ありません8"), 1;
        client_.ShowStatus("応答ありました8");
    } else {
        if (!d.Step(RatioInquiry, {"応答ありました7", "ERR 応答ありません7"})) return 1;
        if (!d.Step(FrequencyInquiry, {"応答ありました8", "ERR 応答ありません8"})) return 1;
    }
    // Where the image is known before the board is touched: whether the flash takes it.
    if (options_.imageBytes && !FlashFitsImage(d)) return 1;
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
