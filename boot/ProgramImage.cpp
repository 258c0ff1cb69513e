// Programming: one 128-byte programming command per block from offset 0, each
// acknowledged before the next is sent, then the end of programming.
#include <algorithm>
#include <array>
#include <span>

#include "app/Texts.h"
#include "boot/BootProtocol.h"
#include "boot/FlashWrite.h"
#include "image/FlashImage.h"
#include "serial/ComLink.h"

namespace h8sx {

namespace {
constexpr std::int32_t kAnswerTicks = 10;
constexpr std::uint32_t kProgressLimit = 0xFFFF;  // the bar's largest maximum
constexpr int kProgressStop = 0xFF7F;             // the position is no longer raised from here
}  // namespace

bool FlashWrite::LeftErased(const FlashImage& image, std::uint32_t index) const {
    if (!options_.skipBlankBlocks || (index >= options_.keepBlocksFrom && index < options_.keepBlocksTo)) return false;
    return IsBlankBlock(std::span<const std::uint8_t, boot::kBlockSize>(
        image.Bytes.data() + std::size_t{index} * boot::kBlockSize, boot::kBlockSize));
}

void FlashWrite::ProgramImage(const FlashImage& image) {
    const std::uint32_t L = image.Length;
    const std::uint32_t divisor = L <= kProgressLimit ? 1 : L / kProgressLimit;
    const int progressMax = static_cast<int>(L <= kProgressLimit ? L : kProgressLimit);
    int progressPosition = 0;
    client_.Stage(WriteStage::Programming);
    client_.SetProgressPosition(0);
    client_.SetProgressMax(progressMax);
    client_.ShowStatus(text::kToBoard);

    std::array<std::uint8_t, kScanLength> ResponseBuffer{};
    link_.PurgeReceive();
    result_.outcome = WriteOutcome::TransferFailed;
    result_.blocks = BlockCount(L);
    for (std::uint32_t offset = 0; offset < L; offset += boot::kBlockSize) {
        if (Stopped()) return;
        const std::uint32_t index = offset / boot::kBlockSize;
        // The last block runs on into the tail behind the image.
        const auto block = std::span<const std::uint8_t, boot::kBlockSize>(image.Bytes.data() + offset,
                                                                           boot::kBlockSize);
        // The erase left the flash at 0xFF: such a block may stay as it is.
        const bool skip = LeftErased(image, index);
        if (skip) {
            ++result_.skipped;
        } else {
            link_.SendBytes(ProgramCommand(offset, block));
            const bool answered = link_.AwaitReply(ResponseBuffer, kAnswerTicks);
            if (!answered && Stopped()) {
                result_.stoppedInFlight = true;
                return;
            }
            if (!answered || ResponseBuffer[0] != boot::kAck) {
                result_.failedBlock = index;
                client_.ShowStatus(answered ? text::kBlockRefused : text::kBlockTimeout);
                return;
            }
            ++result_.programmed;
            client_.ShowStatus(text::kBlockOk);
        }
        // As the bar itself does, the position never passes the maximum.
        if (progressPosition < kProgressStop) {
            progressPosition = std::min(progressPosition + static_cast<int>(boot::kBlockSize / divisor), progressMax);
            client_.SetProgressPosition(progressPosition);
        }
        client_.BlockDone(index + 1, result_.blocks, skip);
    }

    if (Stopped()) return;
    link_.SendBytes(EndOfProgrammingCommand());
    const bool answered = link_.AwaitReply(ResponseBuffer, kAnswerTicks);
    if (!answered && Stopped()) return;
    if (!answered) {
        client_.ShowStatus(text::kEndTimeout);
        return;
    }
    if (ResponseBuffer[0] != boot::kAck) {
        client_.ShowStatus(text::kWriteFailed);
        return;
    }
    result_.outcome = WriteOutcome::Done;
    // With a verify, the success is said once the flash has been checked.
    if (options_.verify != Verify::None) {
        client_.ShowStatus("end of programming acknowledged");
        return;
    }
    client_.ShowStatus(text::kWriteDone);
    client_.BeepIfSound();
}

}  // namespace h8sx
