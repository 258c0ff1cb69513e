// The virtual board's boot program on its own, spoken to byte by byte: the commands of the
// programming/erasure state, which of them each state takes, and the bit rates it makes.
#include <gtest/gtest.h>

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
        {"memory read, the user boot MAT", Read(0, 4, 0x00), {0xD2, 0x2A}},
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

}  // namespace
}  // namespace h8sx::test
