// FWRITE from the file dialog to the end of programming, against the in-process board.
#include <gtest/gtest.h>

#include <numeric>

#include "image/FlashImage.h"
#include "tests/image_records.h"
#include "tests/support/Rig.h"

namespace h8sx::test {
namespace {

using Strings = std::vector<std::string>;

const Bytes kEndCommand{0x50, 0xFF, 0xFF, 0xFF, 0xFF, 0xB4};
constexpr std::uint64_t kTick = 100'000;

// What went out after the user MAT selection (0x43, the last command of the dialogue):
// whole programming commands, then perhaps the end command.
struct Programming {
    std::vector<Bytes> blocks;
    bool ended = false;
    std::size_t leftover = 0;  // bytes that are neither
};

Programming SentProgramming(const Bytes& sent) {
    Programming p;
    auto it = std::find(sent.begin(), sent.end(), std::uint8_t{0x43});
    if (it == sent.end()) return p;
    ++it;
    while (it != sent.end()) {
        const auto left = sent.end() - it;
        if (left >= 6 && std::equal(kEndCommand.begin(), kEndCommand.end(), it)) {
            p.ended = true;
            it += 6;
        } else if (left >= 134 && !p.ended) {
            p.blocks.emplace_back(it, it + 134);
            it += 134;
        } else {
            break;
        }
    }
    p.leftover = static_cast<std::size_t>(sent.end() - it);
    return p;
}

// FWRITE with `fileText` chosen in the dialog.
void Write(Rig& rig, const std::string& fileText) {
    rig.toolkit.dialogAnswers.push(rig.dir.Write("prog.mot", fileText).string());
    rig.form1.Button1Click();
}

// The statuses from the file dialog on.
Strings TransferStatuses(const Rig& rig) {
    const Strings all = rig.toolkit.Statuses();
    const auto from = std::find(all.begin(), all.end(), "書き込みファイル選択");
    return Strings(from, all.end());
}

Strings Repeat(const std::string& s, std::size_t n) { return Strings(n, s); }

Strings Join(std::initializer_list<Strings> parts) {
    Strings out;
    for (const Strings& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// RTS set, DTR cleared for two ticks, DTR set: the board restarts into its own program.
void ExpectFinalReset(const Rig& rig) {
    const auto& lc = rig.link.lineChanges;
    ASSERT_GE(lc.size(), 3u);
    const auto* r = &lc[lc.size() - 3];
    EXPECT_TRUE(r[0].dtr && r[0].rts);
    EXPECT_TRUE(!r[1].dtr && r[1].rts);
    EXPECT_TRUE(r[2].dtr && r[2].rts);
    EXPECT_GE(r[2].at - r[1].at, kTick);
    EXPECT_LE(r[2].at - r[1].at, 2 * kTick);
    EXPECT_TRUE(rig.board.InOwnProgram());
    EXPECT_EQ(rig.form1.Busy, 0);
}

TEST(Transfer, BlocksCarryTheImageAndTheLastOneRunsIntoTheTail) {
    for (std::size_t n : {std::size_t{256}, std::size_t{300}}) {
        SCOPED_TRACE(n);
        Rig rig;
        const Bytes data = Pattern(n);
        Write(rig, SRecordFile(data, 2));

        const Programming p = SentProgramming(rig.link.sent);
        const std::size_t blocks = (n + 127) / 128;
        ASSERT_EQ(p.blocks.size(), blocks);
        EXPECT_TRUE(p.ended);
        EXPECT_EQ(p.leftover, 0u);
        const Bytes image = Concat({data, Tail()});
        for (std::size_t i = 0; i < blocks; ++i) {
            const Bytes& b = p.blocks[i];
            const std::uint32_t address = std::uint32_t{b[1]} << 24 | b[2] << 16 | b[3] << 8 | b[4];
            EXPECT_EQ(b[0], 0x50);
            EXPECT_EQ(address, i * 128);
            EXPECT_EQ(Bytes(b.begin() + 5, b.end() - 1),
                      Bytes(image.begin() + i * 128, image.begin() + i * 128 + 128));
            EXPECT_EQ(std::accumulate(b.begin(), b.end(), 0u) & 0xFF, 0u);
        }
        if (n == 300) {
            EXPECT_EQ(Bytes(p.blocks[2].begin() + 1, p.blocks[2].begin() + 5), (Bytes{0, 0, 1, 0}));
        }

        EXPECT_EQ(TransferStatuses(rig), Join({{"書き込みファイル選択", "ファイル転送中です",
                                                "S2ファイル解析完了", "ファイル転送－＞ＣＰＵボード"},
                                               Repeat("レスポンスＯＫ", blocks),
                                               {"書き込み正常終了"}}));
        ExpectFinalReset(rig);
    }
}

// The (position, maximum) pairs the transfer set, from its first position 0 on.
std::vector<std::pair<int, int>> TransferProgress(const Rig& rig, int maximum) {
    const auto& all = rig.toolkit.progress;
    auto from = std::find(all.begin(), all.end(), std::pair<int, int>{0, maximum});
    return {from, all.end()};
}

TEST(Transfer, ProgressFollowsTheBlocks) {
    {
        Rig rig;
        Write(rig, SRecordFile(Pattern(1000), 1));
        std::vector<std::pair<int, int>> expected{{0, 1000}};
        for (int pos : {128, 256, 384, 512, 640, 768, 896, 1000}) expected.emplace_back(pos, 1000);
        EXPECT_EQ(TransferProgress(rig, 1000), expected);
    }
    {
        // 1,563 blocks: the bar stands for 65,535 bytes, a block raises it by 128 / 3 = 42
        // until it has passed 65,407, and it stays there for the last five blocks.
        Rig rig;
        Write(rig, SRecordFile(Pattern(200'000), 3));
        EXPECT_EQ(rig.toolkit.LastStatus(), "書き込み正常終了");
        const auto progress = TransferProgress(rig, 65535);
        ASSERT_EQ(progress.size(), 1u + 1558);
        for (std::size_t i = 0; i < progress.size(); ++i)
            ASSERT_EQ(progress[i], (std::pair<int, int>{static_cast<int>(42 * i), 65535})) << i;
        EXPECT_EQ(progress.back().first, 65436);
        EXPECT_EQ(SentProgramming(rig.link.sent).blocks.size(), 1563u);
    }
}

TEST(Transfer, OnlyTheFirstAnswerByteCounts) {
    {
        // The board keeps quiet about block 1; 06 41 42 arrive in its place, in one read.
        sim::BoardOptions o;
        o.silentBlock = 1;
        Rig rig(o);
        rig.toolkit.Every1ms([&] {
            if (SentProgramming(rig.link.sent).blocks.size() != 2) return false;
            rig.link.Inject({0x06, 0x41, 0x42}, rig.clock + 50'000);
            return true;
        });
        Write(rig, SRecordFile(Pattern(384)));
        const Programming p = SentProgramming(rig.link.sent);
        EXPECT_EQ(p.blocks.size(), 3u);
        EXPECT_TRUE(p.ended);
        EXPECT_EQ(rig.toolkit.LastStatus(), "書き込み正常終了");
    }
    {
        // Every answer of the board comes behind a stray 0x15: the first block's 15 06 stops.
        sim::BoardOptions o;
        o.strayBytes = {0x15};
        Rig rig(o);
        Write(rig, SRecordFile(Pattern(384)));
        const Programming p = SentProgramming(rig.link.sent);
        EXPECT_EQ(p.blocks.size(), 1u);
        EXPECT_FALSE(p.ended);
        EXPECT_EQ(TransferStatuses(rig).back(), "レスポンスERR");
        ExpectFinalReset(rig);
    }
    {
        // A refusal (D0 53) of block 1: block 0 is in flash, nothing after it.
        sim::BoardOptions o;
        o.refuseBlock = 1;
        Rig rig(o);
        const Bytes data = Pattern(384);
        Write(rig, SRecordFile(data));
        const Programming p = SentProgramming(rig.link.sent);
        EXPECT_EQ(p.blocks.size(), 2u);
        EXPECT_FALSE(p.ended);
        EXPECT_EQ(TransferStatuses(rig).back(), "レスポンスERR");
        EXPECT_EQ(Bytes(rig.board.Flash().begin(), rig.board.Flash().begin() + 256),
                  Concat({Bytes(data.begin(), data.begin() + 128), Bytes(128, 0xFF)}));
        ExpectFinalReset(rig);
    }
}

TEST(Transfer, ABoardThatFallsSilentTimesOutAndIsRestarted) {
    {
        sim::BoardOptions o;
        o.silentBlock = 2;
        Rig rig(o);
        Write(rig, SRecordFile(Pattern(1000)));
        const Programming p = SentProgramming(rig.link.sent);
        EXPECT_EQ(p.blocks.size(), 3u);
        EXPECT_FALSE(p.ended);
        EXPECT_EQ(TransferStatuses(rig), Join({{"書き込みファイル選択", "ファイル転送中です",
                                                "S1ファイル解析完了", "ファイル転送－＞ＣＰＵボード",
                                                "レスポンスＯＫ", "レスポンスＯＫ", "TIME OUT Err1"}}));
        // From the moment block 2 went out (its last byte reached the board 134 byte times
        // later) to the final reset: the 10-tick wait, 0.9 to 1 s.
        std::uint64_t lastIn = 0;
        for (const auto& e : rig.board.Log())
            if (e.kind == sim::LogEntry::HostToBoard) lastIn = e.micros;
        const std::uint64_t sentAt = lastIn - 134 * sim::ByteMicros(38400);
        const std::uint64_t waited = rig.link.lineChanges[rig.link.lineChanges.size() - 3].at - sentAt;
        EXPECT_GT(waited, 9 * kTick);
        EXPECT_LE(waited, 10 * kTick);
        ExpectFinalReset(rig);
    }
    {
        // The adapter pulled out while block 2 is on its way: the window waits its ticks
        // out and says what a silent board makes it say.
        Rig rig;
        std::uint64_t pulledAt = 0;
        rig.toolkit.Every1ms([&] {
            if (SentProgramming(rig.link.sent).blocks.size() != 3) return false;
            rig.link.Unplug();
            pulledAt = rig.clock;
            return true;
        });
        Write(rig, SRecordFile(Pattern(1000)));
        EXPECT_EQ(TransferStatuses(rig), Join({{"書き込みファイル選択", "ファイル転送中です",
                                                "S1ファイル解析完了", "ファイル転送－＞ＣＰＵボード",
                                                "レスポンスＯＫ", "レスポンスＯＫ", "TIME OUT Err1"}}));
        const std::uint64_t waited = rig.toolkit.eventTimes.back() - pulledAt;
        EXPECT_GT(waited, 9 * kTick);
        EXPECT_LE(waited, 10 * kTick);
        EXPECT_EQ(rig.form1.Busy, 0);
    }
    {
        Rig rig(SilentAt(sim::Stage::EndOfProgramming));
        Write(rig, SRecordFile(Pattern(200)));
        EXPECT_TRUE(SentProgramming(rig.link.sent).ended);
        EXPECT_EQ(rig.toolkit.LastStatus(), "TIME OUT Err3");
        EXPECT_EQ(rig.toolkit.events.back(), "status:TIME OUT Err3");  // no beep
        ExpectFinalReset(rig);
    }
    {
        Rig rig(SilentAt(sim::Stage::EndOfProgrammingRefused));
        Write(rig, SRecordFile(Pattern(200)));
        EXPECT_TRUE(SentProgramming(rig.link.sent).ended);
        EXPECT_EQ(rig.toolkit.events.back(), "status:書き込みERR");  // no beep
        ExpectFinalReset(rig);
    }
}

TEST(Transfer, EveryFaultOfTheVirtualBoardSpoilsTheWrite) {
    // A fault switch that changed nothing would leave its failure path untried.
    for (const auto& [name, stage] : sim::FaultStages()) {
        SCOPED_TRACE(name);
        Rig rig(SilentAt(stage));
        Write(rig, SRecordFile(Pattern(200)));
        EXPECT_NE(rig.toolkit.LastStatus(), "書き込み正常終了");
        EXPECT_EQ(rig.form1.Busy, 0);
    }
}

TEST(Transfer, ACancelledDialogProgramsNothingAndTheBoardIsRestarted) {
    Rig rig;
    rig.toolkit.dialogAnswers.push(std::nullopt);
    rig.form1.Button1Click();
    EXPECT_EQ(rig.toolkit.dialogs, 1);
    EXPECT_EQ(TransferStatuses(rig), Strings{"書き込みファイル選択"});
    EXPECT_EQ(rig.link.sent.back(), 0x43);
    ExpectFinalReset(rig);
}

TEST(Transfer, TheBoardHoldsTheFileByteForByte) {
    // Two runs of records 100 addresses apart, in S3 records of 16 bytes: 4,600 image bytes, so the
    // last block ends with 8 bytes of the tail.
    const Bytes a = Pattern(3000, 7), b = Pattern(1500, 8);
    std::string text = Header();
    for (const auto& [part, address] : {std::pair{&a, 0u}, std::pair{&b, 3100u}}) {
        const std::string records = SRecordFile(*part, 3, address, 16);
        text += records.substr(Header().size(), records.size() - Header().size() - Termination(3).size());
    }
    text += Termination(3);
    const Bytes tail = Tail();
    const Bytes expected = Concat({a, Bytes(100, 0xFF), b, Bytes(tail.begin(), tail.begin() + 8)});

    for (bool sound : {true, false}) {
        SCOPED_TRACE(sound);
        Rig rig;
        rig.form1.SoundClicked(sound);
        Write(rig, text);
        const auto& flash = rig.board.Flash();
        EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 4608), expected);
        EXPECT_TRUE(std::all_of(flash.begin() + 4608, flash.end(), [](std::uint8_t v) { return v == 0xFF; }));
        const auto& ev = rig.toolkit.events;
        if (sound) {
            EXPECT_EQ(Strings(ev.end() - 2, ev.end()), (Strings{"status:書き込み正常終了", "beep"}));
        } else {
            EXPECT_EQ(ev.back(), "status:書き込み正常終了");
            EXPECT_EQ(rig.toolkit.Beeps(), 0);
        }
    }
}

TEST(Transfer, ADamagedFileIsNotProgrammed) {
    const std::string ok = DataRecord(1, 0, Pattern(16));
    const std::uint32_t room = kFlashImageRoom - kTailLength;
    const std::pair<std::string, const char*> cases[] = {
        {ok + DataRecord(1, 16, Pattern(16)).substr(0, 20), "終端なしERR 2行"},
        {Header() + Termination(1), "データなしERR 2行"},
        {ok + Record('4', 2, 0x10, Pattern(4)) + Termination(1), "S形式ERR 2行"},
        {ok + "\n" + DataRecord(1, 8, Pattern(4)) + Termination(1), "アドレスERR 3行"},
        {ok + "S1020010ED\n" + Termination(1), "バイト数ERR 2行"},
        {ok + "S1050010AABBG0\n" + Termination(1), "HEX文字ERR 2行"},
        {ok + Record('5', 2, 2) + Termination(1), "件数ERR 2行"},
        {ok + "S1050010AABB00 x\n" + Termination(1), "行末ERR 2行"},
        {DataRecord(3, 0, {1}) + DataRecord(3, room, {2}) + Termination(3), "サイズERR 2行"},
    };
    for (const auto& [text, status] : cases) {
        SCOPED_TRACE(status);
        Rig rig;
        Write(rig, text);
        EXPECT_EQ(rig.toolkit.LastStatus(), status);
        const Programming p = SentProgramming(rig.link.sent);
        EXPECT_TRUE(p.blocks.empty());
        EXPECT_FALSE(p.ended);
        EXPECT_EQ(rig.link.sent.back(), 0x43);
        EXPECT_EQ(rig.toolkit.Beeps(), 1);  // the start of the write only
        ExpectFinalReset(rig);
    }
}

TEST(Transfer, AnImageThatFillsTheRoomIsProgrammedWhole) {
    // The last image byte at offset 982,911: 7,679 blocks, the tail behind them unsent.
    const std::uint32_t last = kFlashImageRoom - kTailLength - 1;
    Rig rig;
    Write(rig, DataRecord(3, 0, {0x11}) + DataRecord(3, last, {0x22}) + Termination(3));
    const Programming p = SentProgramming(rig.link.sent);
    ASSERT_EQ(p.blocks.size(), 7679u);
    EXPECT_TRUE(p.ended);
    EXPECT_EQ(p.blocks.back()[132], 0x22);
    EXPECT_EQ(rig.board.Flash()[0], 0x11);
    EXPECT_EQ(rig.board.Flash()[last], 0x22);
    EXPECT_EQ(rig.board.Flash()[last + 1], 0xFF);
    EXPECT_EQ(rig.toolkit.LastStatus(), "書き込み正常終了");
}

}  // namespace
}  // namespace h8sx::test
