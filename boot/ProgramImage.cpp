// Programming: one 128-byte programming command per block from offset 0, each
// acknowledged before the next is sent, then the end of programming.
#include <algorithm>
#include <array>
#include <span>

#include "app/TForm1.h"
#include "app/Texts.h"
#include "boot/BootProtocol.h"
#include "image/FlashImage.h"

namespace h8sx {

namespace {
constexpr std::int32_t kAnswerTicks = 10;
constexpr std::uint32_t kProgressLimit = 0xFFFF;  // the bar's largest maximum
constexpr int kProgressStop = 0xFF7F;             // the position is no longer raised from here
}  // namespace

void TForm1::ProgramImage(const FlashImage& image) {
    const std::uint32_t L = image.Length;
    const std::uint32_t divisor = L <= kProgressLimit ? 1 : L / kProgressLimit;
    SetProgressPosition(0);
    SetProgressMax(static_cast<int>(L <= kProgressLimit ? L : kProgressLimit));
    ShowStatus(text::kToBoard);

    std::array<std::uint8_t, kScanLength> ResponseBuffer{};
    link_.PurgeReceive();
    LastOutcome = Outcome::TransferFailed;
    SkippedBlocks = 0;
    const std::uint32_t blocks = BlockCount(L);
    for (std::uint32_t offset = 0; offset < L; offset += boot::kBlockSize) {
        // The last block runs on into the tail behind the image.
        const auto block = std::span<const std::uint8_t, boot::kBlockSize>(image.Bytes.data() + offset,
                                                                           boot::kBlockSize);
        // The erase left the flash at 0xFF: such a block may stay as it is.
        const bool skip = SkipBlankBlocks && IsBlankBlock(block);
        if (skip) {
            ++SkippedBlocks;
        } else {
            link_.SendBytes(ProgramCommand(offset, block));
            if (!link_.AwaitReply(ResponseBuffer, kAnswerTicks)) {
                ShowStatus(text::kBlockTimeout);
                return;
            }
            if (ResponseBuffer[0] != boot::kAck) {
                ShowStatus(text::kBlockRefused);
                return;
            }
            ShowStatus(text::kBlockOk);
        }
        if (progressPosition_ < kProgressStop)
            SetProgressPosition(progressPosition_ + static_cast<int>(boot::kBlockSize / divisor));
        toolkit_.BlockDone(offset / boot::kBlockSize + 1, blocks, skip);
    }

    link_.SendBytes(EndOfProgrammingCommand());
    if (!link_.AwaitReply(ResponseBuffer, kAnswerTicks)) {
        ShowStatus(text::kEndTimeout);
        return;
    }
    if (ResponseBuffer[0] == boot::kAck) {
        LastOutcome = Outcome::Done;
        ShowStatus(text::kWriteDone);
        BeepIfSound();
    } else {
        ShowStatus(text::kWriteFailed);
    }
}

void TForm1::TransferImage() {
    FlashImage image;
    if (LoadImage(image)) ProgramImage(image);
    else LastOutcome = Outcome::FileFailed;
}

}  // namespace h8sx
