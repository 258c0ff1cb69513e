// The virtual board's boot program on its own, spoken to byte by byte: the commands of the
// programming/erasure state, which of them each state takes, and the bit rates it makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>

#include "boot/BootProtocol.h"
#include "sim/Board.h"

namespace h8sx::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes WithSum(Bytes b) {
    b.push_back(BootChecksum(b.data(), b.size()));
    return b;
}

Bytes Be32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Read(std::uint32_t address, std::uint32_t size, std::uint8_t area = 0x01) {
    return WithSum(Cat({{0x52, 0x09, area}, Be32(address), Be32(size)}));
}

Bytes SumAnswer(std::uint32_t sum) { return WithSum(Cat({{0x5B, 0x04}, Be32(sum)})); }

Bytes Block(std::uint32_t address, const Bytes& data) { return WithSum(Cat({{0x50}, Be32(address), data})); }

const Bytes kEnd{0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4};
constexpr std::uint32_t kErasedSum = 0xFF * sim::kFlashSize;

// The board released into its boot program, its rate matched at 9600 bit/s.
struct BootBoard {
    explicit BootBoard(sim::BoardOptions options = {}) : board(std::move(options)) {
        board.SetLines(true, false, 0);
        Ask({0x00});
        Ask({0x55});
    }
    // Sends a command and returns all the board has answered once it has had time (an
    // erase included).
    Bytes Ask(const Bytes& command) {
        for (std::uint8_t b : command) board.Receive(b, rate, now += 1000);
        board.Advance(now += 10'000'000);
        Bytes out;
        for (const auto& o : board.Outbox()) out.push_back(o.byte);
        board.Outbox().clear();
        return out;
    }
    sim::Board board;
    std::uint64_t now = 0;
    std::uint32_t rate = 9600;
};

struct Exchange {
    const char* what;
    Bytes command, answer;
};

TEST(BoardProgrammingState, EachCommandIsAnsweredAsTheStateAllows) {
    Bytes data(128);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 3);
    const std::uint32_t programmedSum =
        kErasedSum + std::accumulate(data.begin(), data.end(), 0u) - 128 * 0xFF;
    Bytes badSum = Read(0, 4);
    badSum.back() ^= 0x01;

    const Exchange exchanges[] = {
        {"blank check before the erase", {0x4D}, {0x80, 0x4D}},
        {"memory read before the erase", Read(0, 4), {0x80, 0x52}},
        {"erase", {0x40}, {0x06}},
        {"blank check, erased", {0x4D}, {0x06}},
        {"sum check, erased", {0x4B}, SumAnswer(kErasedSum)},
        {"programming before the selection", Block(0x100, data), {0x80, 0x50}},
        {"inquiry in the programming state", {0x20}, {0x80, 0x20}},
        {"selection", {0x43}, {0x06}},
        {"sum check while programming", {0x4B}, {0x80, 0x4B}},
        {"selection while programming", {0x43}, {0x80, 0x43}},
        {"block", Block(0x100, data), {0x06}},
        {"end", kEnd, {0x06}},
        {"blank check, programmed", {0x4D}, {0xCD, 0x52}},
        {"sum check, programmed", {0x4B}, SumAnswer(programmedSum)},
        {"memory read", Read(0xFE, 4), WithSum({0x52, 0, 0, 0, 4, 0xFF, 0xFF, data[0], data[1]})},
        {"memory read, the last byte", Read(0xFFFFF, 1), WithSum({0x52, 0, 0, 0, 1, 0xFF})},
        {"memory read, sum error", badSum, {0xD2, 0x11}},
        {"memory read, the user boot MAT (never programmed)", Read(0x3FFC, 4, 0x00),
         WithSum({0x52, 0, 0, 0, 4, 0xFF, 0xFF, 0xFF, 0xFF})},
        {"memory read, past the user boot MAT", Read(0x4000, 1, 0x00), {0xD2, 0x2A}},
        {"memory read, an area that is none", Read(0, 4, 0x02), {0xD2, 0x2A}},
        {"memory read, past the MAT", Read(0x100000, 1), {0xD2, 0x2A}},
        {"memory read, running past its end", Read(0xFFFFC, 5), {0xD2, 0x2B}},
        {"memory read, a size that wraps", Read(0x10, 0xFFFFFFF8), {0xD2, 0x2B}},
        {"selection again", {0x43}, {0x06}},
    };
    BootBoard b;
    for (const Exchange& x : exchanges) EXPECT_EQ(b.Ask(x.command), x.answer) << x.what;
}

TEST(BoardProgrammingState, FaultsForTheVerify) {
    Bytes data(128, 0x00);
    {
        // The flash holds something, and the erase leaves it there.
        sim::BoardOptions o;
        o.noErase = true;
        o.initialFlash = {0x12, 0x34};
        BootBoard b(o);
        EXPECT_EQ(b.Ask({0x40}), Bytes{0x06});
        EXPECT_EQ(b.Ask({0x4D}), (Bytes{0xCD, 0x52}));
        EXPECT_EQ(b.Ask(Read(0, 3)), WithSum({0x52, 0, 0, 0, 3, 0x12, 0x34, 0xFF}));
        // The block holding it cannot be programmed; an erased one can.
        EXPECT_EQ(b.Ask({0x43}), Bytes{0x06});
        EXPECT_EQ(b.Ask(Block(0, data)), (Bytes{0xD0, 0x53}));
        EXPECT_EQ(b.Ask(Block(0x80, data)), Bytes{0x06});
    }
    {
        // Programmed and acknowledged, block 1 then loses a bit: its last byte reads 0x01.
        sim::BoardOptions o;
        o.flipBitAfterBlock = 1;
        BootBoard b(o);
        b.Ask({0x40});
        b.Ask({0x43});
        for (std::uint32_t a : {0x000u, 0x080u, 0x100u}) EXPECT_EQ(b.Ask(Block(a, data)), Bytes{0x06});
        b.Ask(kEnd);
        EXPECT_EQ(b.Ask(Read(0xFE, 4)), WithSum({0x52, 0, 0, 0, 4, 0x00, 0x01, 0x00, 0x00}));
        EXPECT_EQ(b.Ask({0x4B}), SumAnswer(kErasedSum - 3 * 128 * 0xFF + 1));
    }
    {
        // A boot program without the three commands; the rest works as before.
        sim::BoardOptions o;
        o.refuseVerifyCommands = true;
        BootBoard b(o);
        b.Ask({0x40});
        EXPECT_EQ(b.Ask({0x4D}), (Bytes{0x80, 0x4D}));
        EXPECT_EQ(b.Ask({0x4B}), (Bytes{0x80, 0x4B}));
        EXPECT_EQ(b.Ask(Read(0, 4)), (Bytes{0x80, 0x52}));
        EXPECT_EQ(b.Ask({0x43}), Bytes{0x06});
    }
}

struct RateCase {
    std::uint16_t carried;  // as the command carries it: units of 100 bit/s
    bool made;
};

TEST(BoardBitRate, TheRatesThePeripheralClockMakesWithinFourPercent) {
    const RateCase cases[] = {
        {48, true},   {192, true},   {384, true},  {576, true},  {625, true},  {768, true},
        {1250, true}, {1562, true},  {2083, true}, {3125, true}, {6250, true}, {1152, false},  // +8.5 %
        {6000, false},  // +4.2 %: just past the limit
        {24, false},  // N = 259: beyond the register
        {0, false},   {9999, false},
    };
    for (const RateCase& c : cases) {
        BootBoard b;
        const Bytes command = WithSum({0x3F, 0x07, static_cast<std::uint8_t>(c.carried >> 8),
                                       static_cast<std::uint8_t>(c.carried), 0x03, 0xE8, 0x02, 0x04, 0x02});
        const std::uint32_t rate = c.carried * 100u;
        EXPECT_EQ(sim::BoardCanMakeRate(rate), c.made) << rate;
        if (!c.made) {
            EXPECT_EQ(b.Ask(command), (Bytes{0xBF, 0x24})) << rate;
            EXPECT_EQ(b.board.BitRate(), 9600u);
            continue;
        }
        EXPECT_EQ(b.Ask(command), Bytes{0x06}) << rate;
        EXPECT_EQ(b.board.BitRate(), rate);
        // The confirmation at the old rate is noise; within 1 % of the new one it is heard.
        EXPECT_EQ(b.Ask({0x06}), Bytes{}) << rate;
        b.rate = rate + rate / 110;
        EXPECT_EQ(b.Ask({0x06}), Bytes{0x06}) << rate;
    }
}

Bytes Status(std::uint8_t status, std::uint8_t error = 0) { return WithSum({0x5F, 0x02, status, error}); }

TEST(BoardInquiries, TheAnswersOfAChipWithA1MiBUserMatFromAddress0) {
    const Exchange exchanges[] = {
        {"status before the device selection", {0x4F}, Status(0x11)},
        {"user boot MAT", {0x24}, WithSum(Cat({{0x34, 0x09, 0x01}, Be32(0), Be32(0x3FFF)}))},
        {"user MAT", {0x25}, WithSum(Cat({{0x35, 0x09, 0x01}, Be32(0), Be32(0xFFFFF)}))},
        {"programming unit", {0x27}, {0x37, 0x02, 0x00, 0x80, 0x47}},
        {"device selection", WithSum({0x10, 0x04, 0, 0, 0, 0x09}), {0x06}},
        {"status: the clock mode to select", {0x4F}, Status(0x12)},
        {"a clock mode that is none", WithSum({0x11, 0x01, 0x01}), {0x91, 0x22}},
        {"status: still the clock mode, and the error", {0x4F}, Status(0x12, 0x22)},
        {"clock mode selection", WithSum({0x11, 0x01, 0x00}), {0x06}},
        {"status: the bit rate to select", {0x4F}, Status(0x13, 0x22)},
        {"erase", {0x40}, {0x06}},
        {"status: awaiting a selection", {0x4F}, Status(0x3F, 0x22)},
        {"an inquiry after the erase", {0x25}, {0x80, 0x25}},
        {"selection", {0x43}, {0x06}},
        {"status: awaiting programming data", {0x4F}, Status(0x4F, 0x80)},
    };
    BootBoard b;
    const Bytes blocks = b.Ask({0x26});
    // 36, a size of two bytes, 24 blocks: eight of 4 KiB, one of 32 KiB, fifteen of 64 KiB.
    ASSERT_EQ(blocks.size(), 1 + 2 + 1 + 24 * 8 + 1u);
    EXPECT_EQ(Bytes(blocks.begin(), blocks.begin() + 4), (Bytes{0x36, 0x00, 0xC1, 24}));
    const auto block = [&](int i) { return Bytes(blocks.begin() + 4 + 8 * i, blocks.begin() + 12 + 8 * i); };
    EXPECT_EQ(block(0), Cat({Be32(0), Be32(0xFFF)}));
    EXPECT_EQ(block(7), Cat({Be32(0x7000), Be32(0x7FFF)}));
    EXPECT_EQ(block(8), Cat({Be32(0x8000), Be32(0xFFFF)}));
    EXPECT_EQ(block(9), Cat({Be32(0x10000), Be32(0x1FFFF)}));
    EXPECT_EQ(block(23), Cat({Be32(0xF0000), Be32(0xFFFFF)}));
    EXPECT_EQ(BootChecksum(blocks.data(), blocks.size() - 1), blocks.back());
    for (const Exchange& x : exchanges) EXPECT_EQ(b.Ask(x.command), x.answer) << x.what;
}

struct FaultCase {
    const char* what;
    std::function<void(sim::BoardOptions&)> set;
    std::vector<Exchange> steps;  // from the matched board
    std::vector<std::uint32_t> programmedTwice;
};

TEST(BoardFaults, EachFaultAsAWriterMeetsIt) {
    const Bytes zeros(128, 0x00);
    const Bytes readBack = WithSum({0x52, 0, 0, 0, 2, 0x00, 0x00}), readErased = WithSum({0x52, 0, 0, 0, 2, 0xFF, 0xFF});
    const Exchange erase{"erase", {0x40}, {0x06}}, select{"selection", {0x43}, {0x06}}, ended{"end", kEnd, {0x06}};
    const Exchange block0{"block 0", Block(0x000, zeros), {0x06}}, block1{"block 1", Block(0x080, zeros), {0x06}};
    const Exchange garbled{"block 0, garbled", Block(0x000, zeros), {sim::kGarbledAnswer}};
    const FaultCase cases[] = {
        {"an answer whose size says one byte more", [](auto& o) { o.wrongSizeAnswerTo = 0x25; },
         {{"user MAT", {0x25}, WithSum(Cat({{0x35, 0x0A, 0x01}, Be32(0), Be32(0xFFFFF)}))}}, {}},
        {"an answer whose SUM does not add up", [](auto& o) { o.badSumAnswerTo = 0x27; },
         {{"programming unit", {0x27}, {0x37, 0x02, 0x00, 0x80, 0x48}}}, {}},
        {"an inquiry not taken", [](auto& o) { o.notTaken = 0x24; }, {{"user boot MAT", {0x24}, {0x80, 0x24}}}, {}},
        {"the memory read refused", [](auto& o) { o.memoryReadError = 0x2B; },
         {erase, {"memory read", Read(0, 2), {0xD2, 0x2B}}}, {}},
        {"a block answered D0 11 twice, then taken", [](auto& o) { o.sumErrorBlock = 1, o.sumErrorTimes = 2; },
         {erase, select, block0, {"block 1", Block(0x080, zeros), {0xD0, 0x11}},
          {"block 1 again", Block(0x080, zeros), {0xD0, 0x11}}, block1, ended,
          {"block 1 read back", Read(0x80, 2), readBack}}, {}},
        {"a garbled acknowledgement of a block programmed", [](auto& o) { o.garbledBlock = 0; },
         {erase, select, garbled, ended, {"read back: programmed", Read(0, 2), readBack}, select,
          {"block 0 sent again all the same", Block(0x000, zeros), {0xD0, 0x53}}, block1}, {0x000}},
        {"a block that arrived damaged, its answer garbled",
         [](auto& o) { o.garbledBlock = 0, o.garbledBlockProgrammed = false; },
         {erase, select, garbled, ended, {"read back: erased", Read(0, 2), readErased}, select, block0, ended,
          {"read back: programmed", Read(0, 2), readBack}}, {}},
    };
    for (const FaultCase& c : cases) {
        sim::BoardOptions o;
        c.set(o);
        BootBoard b(o);
        for (const Exchange& x : c.steps) EXPECT_EQ(b.Ask(x.command), x.answer) << c.what << ": " << x.what;
        EXPECT_EQ(b.board.ProgrammedTwice(), c.programmedTwice) << c.what;
    }
}

bool Logged(const sim::Board& board, const std::string& text) {
    const auto& log = board.Log();
    return std::any_of(log.begin(), log.end(), [&](const sim::LogEntry& e) { return e.text == text; });
}

// With the chip's times, the erase and each block take them, and the boot program does not
// read the line meanwhile: a writer that sends early loses its bytes.
TEST(BoardChipTiming, TheFlashTakesItsTimeAndBytesSentMeanwhileAreLost) {
    EXPECT_EQ(sim::EraseAllMicros(sim::ChipTiming::Maximum), 24'340'000u);
    sim::BoardOptions o;
    o.chipTiming = sim::ChipTiming::Typical;
    BootBoard b(o);
    const auto answerAt = [&](const Bytes& command, std::uint64_t wait) {
        for (std::uint8_t byte : command) b.board.Receive(byte, b.rate, b.now += 10);
        b.board.Advance(b.now += wait);
        const auto out = b.board.Outbox();
        b.board.Outbox().clear();
        return out.empty() ? ~std::uint64_t{0} : out.front().ready - (b.now - wait);
    };
    EXPECT_EQ(answerAt({0x40}, 10'000'000), 9'620'000u);
    EXPECT_EQ(answerAt({0x43}, 1'000), 0u);

    // A block takes 1 ms; the next one, sent from 200 us after the first, arrives while
    // the chip programs.
    const Bytes zeros(128, 0x00);
    for (std::uint8_t byte : Block(0x000, zeros)) b.board.Receive(byte, b.rate, b.now += 1);
    const std::uint64_t sentAt = b.now;
    b.now += 200;
    for (std::uint8_t byte : Block(0x080, zeros)) b.board.Receive(byte, b.rate, b.now += 1);
    b.board.Advance(b.now += 10'000);
    ASSERT_EQ(b.board.Outbox().size(), 1u);  // the first block's acknowledgement, then nothing
    EXPECT_EQ(b.board.Outbox().front().ready, sentAt + 1'000);
    EXPECT_TRUE(Logged(b.board, "134 bytes lost: sent while the chip programmed"));

    // A byte further from the board's rate than the receive margin is noise.
    b.board.Outbox().clear();
    b.rate = 9600 * 1045 / 1000;
    EXPECT_EQ(b.Ask({0x4F}), Status(0x4F));
    b.rate = 9600 * 1055 / 1000;
    EXPECT_EQ(b.Ask({0x4F}), Bytes{});
}

// On a pseudo-terminal the board sees no reset: an open, or the end of a write, followed
// by quiet starts its own program; the first byte, when it comes before, chooses.
TEST(BoardWithoutModemLines, QuietStartsTheOwnProgramAndAFirstByteChooses) {
    sim::BoardOptions o;
    o.quietRestartMicros = 500'000;
    o.restartOnForeignByte = true;
    sim::Board board(o);
    std::uint64_t now = 0;
    // Sends `command`, lets `wait` pass, and returns all the board has sent since the last time.
    const auto ask = [&](const Bytes& command, std::uint64_t wait) {
        for (std::uint8_t byte : command) board.Receive(byte, 19200, now += 10);
        board.Advance(now += wait);
        Bytes out;
        for (const auto& x : board.Outbox()) out.push_back(x.byte);
        board.Outbox().clear();
        return out;
    };
    board.PortReopened(now);
    EXPECT_TRUE(ask({}, 499'999).empty());
    EXPECT_EQ(ask({}, 1).size(), 39u) << "the greeting";

    board.PortReopened(now);
    EXPECT_EQ(ask({0x00}, 2'000'000), Bytes{0x00}) << "matched, no greeting";
    for (const Bytes& c : {Bytes{0x55}, Bytes{0x40}, Bytes{0x43}, Block(0, Bytes(128, 0)), kEnd})
        EXPECT_EQ(ask(c, c == Bytes{0x40} ? 1'500'000 : 0).back(), c == Bytes{0x55} ? 0xE6 : 0x06);
    EXPECT_TRUE(ask({}, 499'990).empty()) << "the writer's verify may follow the end";
    EXPECT_EQ(ask({}, 10).size(), 39u) << "the greeting after the writer's restart";

    // Once the flash is erased, a restart into the boot program shows only in its first
    // matching byte.
    board.PortReopened(now);
    for (const Bytes& c : {Bytes{0x00}, Bytes{0x55}, Bytes{0x40}}) ask(c, 1'500'000);
    EXPECT_EQ(ask({0x00}, 0), Bytes{0x00});
    EXPECT_TRUE(board.InBootProgram());
}

}  // namespace
}  // namespace h8sx::test
