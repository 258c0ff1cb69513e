// Programming: one 128-byte programming command per block from offset 0, each
// acknowledged before the next is sent, then the end of programming.
#include <algorithm>
#include <array>
#include <cstdio>
#include <span>
#include <string>

#include "app/Texts.h"
#include "boot/BootProtocol.h"
#include "boot/FlashWrite.h"
#include "image/FlashImage.h"
#include "serial/ComLink.h"

namespace h8sx {

namespace {
constexpr std::int32_t kAnswerTicks = 10;
// How long the code byte of an error answer is awaited behind its first byte.
constexpr std::int32_t kErrorCodeTicks = 2;
// A line that says nothing for a tick is quiet: what a garbled answer brought has come.
constexpr int kQuietTicksAtMost = 10;
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
            if (!ProgramBlock(index, ProgramCommand(offset, block))) return;
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
    std::array<std::uint8_t, kScanLength> ResponseBuffer{};
    link_.Exchange("end of programming");
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

namespace {
std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::string BlockName(std::uint32_t index) {
    char text[48];
    std::snprintf(text, sizeof text, "block %u at 0x%06X", static_cast<unsigned>(index + 1),
                  static_cast<unsigned>(index * boot::kBlockSize));
    return text;
}
}  // namespace

bool FlashWrite::ProgramBlock(std::uint32_t index, std::span<const std::uint8_t> command) {
    std::array<std::uint8_t, kScanLength> ResponseBuffer{};
    for (unsigned retries = 0;; ++retries) {
        if (link_.Traced()) link_.Exchange(BlockName(index));
        link_.SendBytes(command);
        const bool answered = link_.AwaitReply(ResponseBuffer, kAnswerTicks);
        if (!answered && Stopped()) {
            result_.stoppedInFlight = true;
            return false;
        }
        if (answered && ResponseBuffer[0] == boot::kAck) return true;
        const auto fail = [&] {
            result_.failedBlock = index;
            client_.ShowStatus(answered ? text::kBlockRefused : text::kBlockTimeout);
            return false;
        };
        if (!options_.retries) return fail();
        // An error answer: its code tells whether the block was programmed (D0 11: the
        // board's sum of it failed, nothing was).
        const bool errorAnswer = answered && ResponseBuffer[0] == (boot::kProgram128 | boot::kErrorBit);
        if (errorAnswer && ResponseBuffer[1] == 0) link_.AwaitBytes(std::span(&ResponseBuffer[1], 1), kErrorCodeTicks);
        if (errorAnswer && ResponseBuffer[1] != 0x11) return fail();
        if (retries == *options_.retries) return fail();
        result_.retriedBlocks += retries == 0;
        ++result_.retries;
        const std::string counted = " (retry " + std::to_string(retries + 1) + " of " +
                                    std::to_string(*options_.retries) + "; blocks retried: " +
                                    std::to_string(result_.retriedBlocks) + ")";
        if (errorAnswer) {
            client_.ShowStatus(BlockName(index) + ": the board's sum of it failed (D0 11), sent again" + counted);
            continue;
        }
        // Programmed or not: the flash says. A block is never programmed twice.
        client_.ShowStatus(BlockName(index) + (answered ? ": its answer came garbled" : ": no answer") +
                           ", read back" + counted);
        switch (ReadBackBlock(index, command)) {
            case BlockState::Programmed:
                link_.Note(BlockName(index) + " reads as sent: programmed");
                return true;
            case BlockState::Erased:
                link_.Note(BlockName(index) + " reads erased: sent again");
                break;
            case BlockState::Unknown:
                // The read back did not come through: the next retry reads again first.
                if (Stopped()) return false;
                link_.Note(BlockName(index) + ": the read back failed");
                break;
            case BlockState::Other:
                result_.failedBlock = index;
                result_.outcome = WriteOutcome::VerifyFailed;
                return false;
        }
    }
}

FlashWrite::BlockState FlashWrite::ReadBackBlock(std::uint32_t index, std::span<const std::uint8_t> command) {
    // What a garbled answer brought (a noisy line may make many) is let come and dropped.
    for (int i = 0; i < kQuietTicksAtMost; ++i) {
        link_.PurgeReceive();
        link_.WaitTicks(1);
        if (link_.BytesWaiting() == 0 || Stopped()) break;
    }
    VerifyResult& v = result_.verify;
    std::array<std::uint8_t, 1> ack{};
    // The end of programming; "not taken" (80 50) says it has ended already: a read back
    // before this one got that far.
    if (!Inquire(EndOfProgrammingCommand(), boot::kAck, ack, false, kAnswerTicks) &&
        v.fault != VerifyResult::Fault::NotTaken)
        return BlockState::Unknown;
    const std::uint32_t address = index * std::uint32_t{boot::kBlockSize};
    std::array<std::uint8_t, 1 + 4 + boot::kBlockSize + 1> read{};  // 52 size(4) data SUM
    if (!Inquire(MemoryReadCommand(address, boot::kBlockSize), boot::kMemoryRead, read, true, kAnswerTicks))
        return BlockState::Unknown;
    if (!Inquire(std::span(&boot::kUserMatSelection, 1), boot::kAck, ack, false, kAnswerTicks))
        return BlockState::Unknown;
    if (Be32(&read[1]) != boot::kBlockSize) return BlockState::Unknown;
    v.fault = VerifyResult::Fault::None;
    v.code = 0;
    const std::uint8_t* data = read.data() + 5;
    const std::uint8_t* sent = command.data() + 5;
    if (std::equal(data, data + boot::kBlockSize, sent)) return BlockState::Programmed;
    if (std::all_of(data, data + boot::kBlockSize, [](std::uint8_t b) { return b == 0xFF; }))
        return BlockState::Erased;
    const auto differ = std::mismatch(data, data + boot::kBlockSize, sent);
    v.fault = VerifyResult::Fault::ByteMismatch;
    v.command = boot::kMemoryRead;
    v.address = address + static_cast<std::uint32_t>(differ.first - data);
    v.actual = *differ.first;
    v.expected = *differ.second;
    return BlockState::Other;
}

}  // namespace h8sx
