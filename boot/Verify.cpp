// The verify of a write, with the boot program's own commands of the programming/erasure
// state: the blank check and the sum of the user MAT once the erase has been acknowledged,
// the sum again after the end of programming, and (when asked for) the programmed blocks
// read back. The programmed bytes must account for the change of the sum exactly: every
// byte programmed adds its value less the 0xFF the erase left there, modulo 2^32. That
// needs neither the MAT's size nor any command before the erase, and holds for blocks left
// as erased.
#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "boot/BootProtocol.h"
#include "boot/FlashWrite.h"
#include "image/FlashImage.h"
#include "serial/ComLink.h"

namespace h8sx {

namespace {

using Fault = VerifyResult::Fault;

// The chip looks at the whole user MAT for the blank check and the sum check.
constexpr std::int32_t kWholeMatTicks = 30;
// A memory read asks for this much at a time; its answer wait follows its line time.
constexpr std::uint32_t kReadChunk = 4096;
constexpr std::size_t kReadAnswerOverhead = 1 + 4 + 1;  // 52, the size, SUM
constexpr std::int32_t kAnswerMarginTicks = 10;

std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX32, value);
    return text;
}

// Ticks for an answer of `bytes` bytes at `bitRate`, 10 bits a byte, with a margin.
std::int32_t LineTicks(std::size_t bytes, std::uint32_t bitRate) {
    const std::uint64_t micros = std::uint64_t{bytes} * 10 * 1'000'000 / bitRate;
    return static_cast<std::int32_t>(micros / 100'000 + 1) + kAnswerMarginTicks;
}

// The exchanges of the programming/erasure state, for a trace.
std::string ExchangeName(std::span<const std::uint8_t> command) {
    switch (command[0]) {
        case boot::kBlankCheck: return "user MAT blank check";
        case boot::kSumCheck: return "user MAT sum check";
        case boot::kUserMatSelection: return "user MAT programming selection";
        case boot::kProgram128: return "end of programming";
        case boot::kMemoryRead:
            return "memory read of " + std::to_string(Be32(&command[7])) + " bytes at " + Hex32(Be32(&command[3]));
        default: return "command " + std::to_string(command[0]);
    }
}

}  // namespace

bool FlashWrite::Inquire(std::span<const std::uint8_t> command, std::uint8_t okCode, std::span<std::uint8_t> answer,
                         bool summed, std::int32_t ticks) {
    VerifyResult& v = result_.verify;
    v.command = command[0];
    if (link_.Traced()) link_.Exchange(ExchangeName(command));
    SendBootPacket(link_, command.data(), command.size());
    const auto fail = [&](Fault fault, std::uint8_t code = 0) {
        v.fault = fault;
        v.code = code;
        return false;
    };
    if (link_.AwaitBytes(answer.first(1), ticks) < 1) return fail(Fault::NoAnswer);
    const std::uint8_t first = answer[0];
    if (first != okCode) {
        // An error answer: two bytes, the second its code.
        std::uint8_t code = 0;
        if (link_.AwaitBytes(std::span(&code, 1), ticks) < 1) return fail(Fault::NoAnswer);
        if (first == boot::kCommandRefused && code == command[0]) return fail(Fault::NotTaken);
        if (first == (command[0] | boot::kErrorBit)) return fail(Fault::ErrorAnswer, code);
        return fail(Fault::BadAnswer, first);
    }
    if (link_.AwaitBytes(answer.subspan(1), link_.TickCount) < answer.size() - 1) return fail(Fault::NoAnswer);
    if (summed && BootChecksum(answer.data(), answer.size() - 1) != answer.back()) return fail(Fault::BadAnswer);
    return true;
}

bool FlashWrite::SumCheck(std::uint32_t& sum) {
    std::array<std::uint8_t, 7> answer{};  // 5B 04 sum(4) SUM
    if (!Inquire(std::span(&boot::kSumCheck, 1), boot::kSumCheckAnswer, answer, true, kWholeMatTicks)) return false;
    if (answer[1] != 4) {
        result_.verify.fault = Fault::BadAnswer;
        return false;
    }
    sum = Be32(&answer[2]);
    return true;
}

bool FlashWrite::VerifyErased() {
    VerifyResult& v = result_.verify;
    std::array<std::uint8_t, 1> ack{};
    if (!Inquire(std::span(&boot::kBlankCheck, 1), boot::kAck, ack, false, kWholeMatTicks)) {
        if (v.fault == Fault::ErrorAnswer && v.code == boot::kBlankCheckFailed) v.fault = Fault::NotBlank;
        return false;
    }
    v.blank = true;
    client_.ShowStatus("blank check: the flash is erased");
    std::uint32_t sum = 0;
    if (!SumCheck(sum)) return false;
    v.erasedSum = sum;
    client_.ShowStatus("sum of the erased flash: " + Hex32(sum));
    return true;
}

bool FlashWrite::VerifyProgrammed(const FlashImage& image) {
    VerifyResult& v = result_.verify;
    const std::uint32_t blocks = BlockCount(image.Length);
    const std::size_t end = std::size_t{blocks} * boot::kBlockSize;

    client_.Stage(WriteStage::Verify);
    // Every programmed byte adds (byte - 0xFF); a block left as erased adds nothing.
    std::uint32_t expected = *v.erasedSum;
    for (std::size_t i = 0; i < end; ++i) expected += std::uint32_t{image.Bytes[i]} - 0xFF;
    v.expectedSum = expected;
    std::uint32_t sum = 0;
    if (!SumCheck(sum)) return false;
    v.sum = sum;
    const bool sumRight = sum == expected;
    if (sumRight) client_.ShowStatus("sum check: " + Hex32(sum) + ", as the programmed blocks account for");
    // A wrong sum is where the read back, when asked for, looks for the address.
    if (!sumRight && options_.verify != Verify::Read) v.fault = Fault::SumMismatch;
    if (!sumRight && options_.verify != Verify::Read) return false;
    if (options_.verify != Verify::Read) return true;

    // Runs of programmed blocks, read back a chunk at a time.
    std::vector<std::uint8_t> answer;
    for (std::uint32_t b = 0; b < blocks;) {
        if (LeftErased(image, b)) {
            ++b;
            continue;
        }
        std::uint32_t runEnd = b + 1;
        while (runEnd < blocks && !LeftErased(image, runEnd)) ++runEnd;
        for (std::uint32_t at = b * std::uint32_t{boot::kBlockSize}; at < runEnd * boot::kBlockSize;) {
            if (Stopped()) return false;
            const std::uint32_t size = std::min<std::uint32_t>(kReadChunk, runEnd * boot::kBlockSize - at);
            answer.assign(size + kReadAnswerOverhead, 0);
            const auto cmd = MemoryReadCommand(at, size);
            if (!Inquire(cmd, boot::kMemoryRead, answer, true, LineTicks(answer.size(), options_.bitRate)))
                return false;
            if (Be32(&answer[1]) != size) {
                v.fault = Fault::BadAnswer;
                return false;
            }
            const std::uint8_t* read = answer.data() + 5;
            const std::uint8_t* want = image.Bytes.data() + at;
            const auto differ = std::mismatch(read, read + size, want);
            if (differ.first != read + size) {
                v.fault = Fault::ByteMismatch;
                v.address = at + static_cast<std::uint32_t>(differ.first - read);
                v.actual = *differ.first;
                v.expected = *differ.second;
                return false;
            }
            v.bytesRead += size;
            at += size;
        }
        b = runEnd;
    }
    if (!sumRight) {
        // Every programmed byte reads as written: the difference lies outside them.
        v.fault = Fault::SumMismatch;
        return false;
    }
    client_.ShowStatus("read back: " + std::to_string(v.bytesRead) + " bytes, as programmed");
    return true;
}

}  // namespace h8sx
