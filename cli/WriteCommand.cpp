// h8sx write: the image read and checked before the board is touched, the core's write
// with the command line's options, and what went wrong named for the engineer.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "boot/BootProtocol.h"
#include "boot/FlashWrite.h"
#include "cli/Commands.h"
#include "cli/ImageFile.h"
#include "cli/ProductionLog.h"
#include "cli/Session.h"
#include "cli/Sha256.h"
#include "cli/Station.h"
#include "cli/System.h"
#include "image/FlashImage.h"
#include "image/SRecord.h"

namespace h8sx::cli {

namespace {

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06" PRIX32, value);
    return text;
}

// Bytes as the protocol's tables write them: "91 22".
std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (std::uint8_t b : bytes) {
        char two[4];
        std::snprintf(two, sizeof two, "%s%02X", text.empty() ? "" : " ", b);
        text += two;
    }
    return text;
}

// What the flash holds after a write that did not end well, as far as the write knows it:
// an erase the board acknowledged but nothing checked is what the board reported.
std::string FlashState(const WriteResult& r) {
    if (!r.eraseStarted) return "the flash is as it was";
    if (!r.erased) return "the flash may be partly erased, the old program damaged";
    const std::string erased =
        r.verify.blank ? "the flash was erased (the blank check said so)" : "the board reported the flash erased";
    const std::uint32_t held = r.failedBlock ? *r.failedBlock : r.programmed + r.skipped;
    std::string text;
    if (held == 0)
        text = "the old program is gone: " + erased + ", and nothing was written";
    else if (held == r.blocks)
        text = "the old program is gone: all " + std::to_string(r.blocks) + " blocks were acknowledged";
    else
        text = "the old program is gone: the flash holds the first " + std::to_string(held) + " of " +
               std::to_string(r.blocks) + " blocks and is erased from " + Hex(held * std::uint32_t{boot::kBlockSize}) +
               " on" + (r.verify.blank ? "" : " (as the board reported)");
    if (r.stoppedInFlight) text += " (block " + std::to_string(held + 1) + " was on its way: it may be written too)";
    return text;
}

// A step of the boot dialogue that failed, and what the board answered to it.
std::string DialogueFailure(const DialogueFault& f) {
    char command[8];
    std::snprintf(command, sizeof command, "%02X", f.command);
    const std::string step = std::string("the ") + (f.step ? f.step : "boot dialogue");
    switch (f.kind) {
        case DialogueFault::Kind::None: return "the boot dialogue failed";
        case DialogueFault::Kind::NoAnswer: return "no answer to " + step + " (" + command + ")";
        case DialogueFault::Kind::ShortAnswer:
            return "a short answer to " + step + " (" + command + "): " + std::to_string(f.answer.size()) +
                   " bytes where its size says " + std::to_string(f.expected) + " (" + HexBytes(f.answer) + ")";
        case DialogueFault::Kind::ErrorAnswer: {
            const char* meaning = f.answer.size() > 1 ? ErrorCodeMeaning(f.answer[1]) : nullptr;
            return "the board refused " + step + " (" + command + "): " + HexBytes(f.answer) +
                   (meaning ? " (" + std::string(meaning) + ")" : std::string());
        }
        case DialogueFault::Kind::NotTaken:
            return "the board does not take " + step + " (" + command + ") now: " + HexBytes(f.answer) + " (command error)";
        case DialogueFault::Kind::Unexpected:
            return "an answer to " + step + " (" + command + ") that is none of its answers: " + HexBytes(f.answer);
        case DialogueFault::Kind::BadSum:
            return "the answer to " + step + " (" + command + ") does not add up (a wrong checksum): " +
                   HexBytes(f.answer);
        case DialogueFault::Kind::BadLayout:
            return "the answer to " + step + " (" + command + ") does not hold what its size and counts say: " +
                   HexBytes(f.answer);
        case DialogueFault::Kind::TooLarge:
            return "the image's " + std::to_string(f.expected) + " bytes do not fit the board's user MAT of " +
                   std::to_string(f.found) + " bytes (" + step + ", " + command + ": " + HexBytes(f.answer) +
                   "); nothing was erased";
        case DialogueFault::Kind::WrongUnit:
            return "the board programs in units of " + std::to_string(f.found) + " bytes, where this writer sends " +
                   std::to_string(f.expected) + " (" + step + ", " + command + ": " + HexBytes(f.answer) +
                   "); nothing was erased";
        case DialogueFault::Kind::WrongDevice: {
            // 30 size devices characters code(4) name SUM
            const std::vector<std::uint8_t>& a = f.answer;
            std::string code = a.size() >= 8 ? HexBytes({a.begin() + 4, a.begin() + 8}) : HexBytes(a);
            std::string name;
            const std::size_t characters = a.size() > 3 ? a[3] : 0;
            for (std::size_t i = 8; i < a.size() && i < 4 + characters && i + 1 < a.size(); ++i)
                name += a[i] >= 0x20 && a[i] < 0x7F ? static_cast<char>(a[i]) : '?';
            return "the board's device code is " + code + (name.empty() ? "" : " (\"" + name + "\")") +
                   ", not the H8SX1622's: this writer serves a code whose four bytes add up to 09, as 00 00 00 09 does";
        }
    }
    return "the boot dialogue failed";
}

// What went wrong in a verify, for the engineer.
std::string VerifyFailure(const VerifyResult& v) {
    const auto command = [&] {
        char text[64];
        std::snprintf(text, sizeof text, "%s (%02X)",
                      v.command == boot::kBlankCheck  ? "the blank check"
                      : v.command == boot::kSumCheck ? "the sum check"
                                                     : "the memory read",
                      v.command);
        return std::string(text);
    };
    char text[200];
    switch (v.fault) {
        case VerifyResult::Fault::None:
        case VerifyResult::Fault::NotBlank: break;
        case VerifyResult::Fault::NoAnswer: return "verify failed: no answer to " + command();
        case VerifyResult::Fault::NotTaken:
            std::snprintf(text, sizeof text, ": it answers 80 %02X; --no-verify writes without the verify", v.command);
            return "verify failed: the board's boot program does not take " + command() + text;
        case VerifyResult::Fault::ErrorAnswer:
            std::snprintf(text, sizeof text, " with an error (%02X %02X%s%s)", v.command | boot::kErrorBit, v.code,
                          ErrorCodeMeaning(v.code) ? ": " : "", ErrorCodeMeaning(v.code) ? ErrorCodeMeaning(v.code) : "");
            return "verify failed: the board answered " + command() + text;
        case VerifyResult::Fault::BadAnswer: return "verify failed: a malformed answer to " + command();
        case VerifyResult::Fault::SumMismatch:
            std::snprintf(text, sizeof text,
                          "verify failed: the flash sums to 0x%08" PRIX32 ", where the programmed blocks account for "
                          "0x%08" PRIX32 " (erased: 0x%08" PRIX32 "); %s",
                          *v.sum, v.expectedSum, *v.erasedSum,
                          v.bytesRead > 0 ? "the programmed blocks read back as written: the difference lies "
                                            "outside them"
                                          : "--verify=read finds the address");
            return text;
        case VerifyResult::Fault::ByteMismatch:
            std::snprintf(text, sizeof text,
                          "verify failed: flash address 0x%06" PRIX32 " holds 0x%02X where 0x%02X was programmed",
                          v.address, v.actual, v.expected);
            return text;
    }
    return "verify failed";
}

// A write as the command line runs it: the port given, the image read and checked before
// the board was touched, status lines and progress on standard error.
class CliWrite final : public WriteClient {
   public:
    CliWrite(Session& s, const FlashImage& image) : s_(s), image_(image) {}

    bool OpenPort(std::uint32_t bitRate) override { return s_.OpenPort(bitRate); }
    void ShowStatus(const std::string& utf8) override {
        // After a stop the waits end early: what they would show is no failure of the board.
        if (!s_.Stopping()) s_.out.Status(utf8);
    }
    void BeepIfSound() override {}
    void SetProgressPosition(int) override {}
    void SetProgressMax(int) override {}
    const FlashImage* ImageToProgram() override { return &image_; }
    void Stage(WriteStage stage) override {
        static constexpr const char* kNames[] = {"matching", "boot dialogue", "erase", "programming", "verify",
                                                 "restart"};
        s_.out.Stage(kNames[static_cast<int>(stage)]);
    }
    void BlockDone(std::uint32_t done, std::uint32_t total, bool skipped) override {
        s_.out.Progress(done, total, skipped);
    }
    void RestartBoard() override { s_.RestartBoard(); }

   private:
    Session& s_;
    const FlashImage& image_;
};

}  // namespace

// The failure of a write, named for the engineer, with the window's status text.
int WriteFailed(Session& s, const WriteResult& r) {
    const std::string window = " (" + s.out.LastStatus() + ")";
    const auto restarted = [&] {
        return FlashState(r) + (r.restarted ? "; the board was restarted into its own program" : "");
    };
    switch (r.outcome) {
        case WriteOutcome::Done: return kDone;
        case WriteOutcome::PortNotOpened:
            s.out.Error("the port " + s.PortShown() + " could not be opened");
            return kPortNotOpened;
        case WriteOutcome::NoBoard:
            if (r.dialogue.kind == DialogueFault::Kind::None) {
                s.out.Error("no board answered the bit-rate matching on " + s.PortShown() + window +
                            "\n  is the board powered and its cable in, and does it start its boot program (the boot "
                            "mode pins or jumper)? Another port may be the board's: 'h8sx ports' lists them");
            } else if (r.dialogue.answer.empty()) {
                s.out.Error("the board answered the bit-rate matching's 00, but not its 55 with E6" + window);
            } else {
                s.out.Error("the board answered the bit-rate matching's 55 with " + HexBytes(r.dialogue.answer) +
                            ", where E6 confirms the rate" +
                            (r.dialogue.answer.front() == 0xFF ? ": it could not match the rate" : std::string()) +
                            window);
            }
            return kNoBoard;
        case WriteOutcome::BootFailed:
            s.out.Error(DialogueFailure(r.dialogue) + window);
            if (r.bitRateRefused)
                s.out.Error("the board cannot make the bit rate " + std::to_string(s.options.bitRate) +
                            "; a lower --bit-rate may do");
            s.out.Error(FlashState(r));
            return kBootFailed;
        case WriteOutcome::NotBlank:
            s.out.Error("the blank check after the erase found bytes that are not 0xFF (CD 52): the erase did not "
                        "take, and the old program may be partly gone; nothing was programmed" +
                        std::string(r.restarted ? ", and the board was restarted into its own program" : ""));
            return kBootFailed;
        case WriteOutcome::VerifyFailed:
            s.out.Error(VerifyFailure(r.verify));
            s.out.Error(r.verify.sum || r.verify.bytesRead > 0 || r.programmed > 0
                            ? "the flash does not hold FILE as checked: " + restarted()
                            : restarted());
            return kVerifyFailed;
        case WriteOutcome::NoImage:
            s.out.Error("there was no image to program" + window);
            return kFileFailed;
        case WriteOutcome::TransferFailed:
            if (r.failedBlock) {
                const std::uint32_t b = *r.failedBlock;
                s.out.Error("block " + std::to_string(b + 1) + " of " + std::to_string(r.blocks) + " (flash address " +
                            Hex(b * std::uint32_t{boot::kBlockSize}) + ") was " +
                            (s.out.LastStatus() == "レスポンスERR" ? "refused" : "not answered") + window);
            } else {
                s.out.Error("every block was acknowledged, but the end of programming was " +
                            std::string(s.out.LastStatus() == "書き込みERR" ? "refused" : "not answered") + window);
            }
            s.out.Error(restarted());
            return kTransferFailed;
        case WriteOutcome::PortLost:
            s.out.Error(s.PortGone() + "; " + FlashState(r));
            return r.eraseStarted ? kTransferFailed : kPortNotOpened;
        case WriteOutcome::Stopped:
            s.out.Error("interrupted: " + restarted());
            return s.StoppedStatus();
    }
    return kTransferFailed;  // not reached: every outcome has its case
}

namespace {

// A failed write's outcome in one word, for the production log.
const char* OutcomeWord(const WriteResult& r) {
    switch (r.outcome) {
        case WriteOutcome::Done: return "done";
        case WriteOutcome::PortNotOpened: return "port";
        case WriteOutcome::NoBoard: return "no-board";
        case WriteOutcome::BootFailed: return "boot";
        case WriteOutcome::NoImage: return "file";
        case WriteOutcome::TransferFailed: return "transfer";
        case WriteOutcome::NotBlank: return "not-blank";
        case WriteOutcome::VerifyFailed: return "verify";
        case WriteOutcome::Stopped: return "interrupted";
        case WriteOutcome::PortLost: return "port-gone";
    }
    return "failed";
}

const char* VerifyName(Verify v) { return v == Verify::None ? "none" : v == Verify::Sum ? "sum" : "read"; }

}  // namespace

int WriteBoard(Session& s, const WriteJob& job) {
    const Options& o = s.options;
    const auto started = std::chrono::steady_clock::now();
    const std::size_t errorsBefore = s.out.Errors().size();
    LogRow row;
    row.time = LogTimeNow();
    row.host = HostName();
    row.port = s.portName;
    row.device = PortDeviceShown(s.portName).empty() ? s.portName : PortDeviceShown(s.portName);
    row.adapter = AdapterName(s.portName);
    row.file = job.file;
    row.imageSha256 = job.sha256;
    row.bitRate = o.bitRate;
    row.verify = VerifyName(o.verify);
    row.blocks = BlockCount(job.image.Length);
    // The row of this board, whatever ends it; a log that cannot take it stops the station.
    const auto logged = [&](int status, const char* outcome) {
        row.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        row.outcome = outcome;
        row.status = status;
        // What was said of this board, in one field.
        const std::vector<std::string>& said = s.out.Errors();
        for (std::size_t i = errorsBefore; i < said.size(); ++i) row.message += (row.message.empty() ? "" : "; ") + said[i];
        if (!job.log) return status;
        if (const std::string why = job.log->Append(row); !why.empty()) {
            s.out.Error("the production log: " + why);
            if (job.station) job.station->StopBeforeNextBoard("the production log cannot be written: " + why);
            return status == kDone ? kFileFailed : status;
        }
        return status;
    };

    if (!s.OpenPort(kMatchingBitRate)) return logged(kPortNotOpened, "port");
    if (s.Stopping()) return logged(s.StoppedStatus(), "interrupted");  // the board not touched yet

    // The board's own number, taken before its write begins: a board that fails keeps it.
    FlashImage stamped;
    const FlashImage* image = &job.image;
    std::optional<std::uint32_t> keep;
    if (job.counter) {
        std::string why;
        const auto number = job.counter->Take(*o.serial, why);
        if (!number) {
            s.out.Error("no serial number for this board: " + why);
            if (job.station) job.station->StopBeforeNextBoard(why);
            return logged(kFileFailed, "serial");
        }
        row.serial = number;
        stamped = job.image;
        StampImage(stamped, *o.serial, *SerialBytes(*o.serial, *number));
        image = &stamped;
        row.blocks = BlockCount(stamped.Length);
        keep = o.serial->address / static_cast<std::uint32_t>(boot::kBlockSize);
        char at[32];
        std::snprintf(at, sizeof at, "0x%06X", static_cast<unsigned>(o.serial->address));
        s.out.Note("serial number " + std::to_string(*number) + " (" + o.serial->format + ") at " + at);
    }

    s.out.Note("writing " + job.file + " (" + std::to_string(BlockCount(image->Length)) + " blocks) to " +
               s.PortShown() + " at " + std::to_string(o.bitRate) + " bit/s");
    CliWrite client(s, *image);
    WriteOptions options;
    options.explain = true;
    options.skipBlankBlocks = o.skipBlank;
    options.bitRate = o.bitRate;
    options.verify = o.verify;
    options.imageBytes = image->Length;
    options.retries = o.retries;
    if (keep) {
        // The number's blocks are programmed, whatever --skip-blank says of them.
        options.keepBlocksFrom = *keep;
        options.keepBlocksTo = (o.serial->address + o.serial->width - 1) / static_cast<std::uint32_t>(boot::kBlockSize) + 1;
    }
    const WriteResult r = FlashWrite(s.link, client, options).Run();
    if (r.outcome == WriteOutcome::Stopped && !r.restarted) s.RestartBoard();
    if (r.outcome == WriteOutcome::Done && o.skipBlank)
        s.out.Note(std::to_string(r.programmed) + " blocks programmed, " + std::to_string(r.skipped) +
                   " blank blocks left as erased");
    if (r.retriedBlocks > 0)
        s.out.Note(std::to_string(r.retriedBlocks) + (r.retriedBlocks == 1 ? " block" : " blocks") +
                   " needed a retry (" + std::to_string(r.retries) + " in all)");
    row.erasedSum = r.verify.erasedSum;
    row.finalSum = r.verify.sum;
    return logged(WriteFailed(s, r), OutcomeWord(r));
}

int Write(Session& s) {
    FlashImage image;
    ImageLoad load;
    // The file is read before the board is touched: a damaged one leaves the flash as it is.
    if (const int status = ReadImageFile(s.options, s.platform, s.out, image, load); status != kDone) return status;
    WriteJob job{image, s.options.file == "-" ? "standard input" : s.options.file, {}, std::nullopt, std::nullopt,
                 nullptr};
    return WriteBoard(s, job);
}

int WriteOnStation(const Options& o, Platform& platform, Output& out) {
    Station station(o);
    if (std::string why; !station.Ports(why)) {
        out.Error(why);
        return kUsage;
    }
    FlashImage image;
    ImageLoad load;
    // Read and checked once, before any board is touched; every board gets these bytes.
    if (const int status = ReadImageFile(o, platform, out, image, load); status != kDone) return status;
    WriteJob job{image, o.file == "-" ? "standard input" : o.file,
                 Sha256Hex(image.Bytes.data(), std::size_t{BlockCount(image.Length)} * boot::kBlockSize),
                 std::nullopt, std::nullopt, &station};
    if (o.serial) {
        if (const std::string why = StampPlaceProblem(*o.serial, image); !why.empty()) {
            out.Error(job.file + ": " + why);
            return kFileFailed;
        }
        job.counter.emplace(*o.serialNext);
        std::string why;
        if (!job.counter->Peek(why)) {
            out.Error(why);
            return kFileFailed;
        }
    }
    if (o.log) {
        // A log that cannot be written is said before the first board, not after it.
        if (const std::string why = CanAppend(*o.log); !why.empty()) {
            out.Error("the production log: " + why);
            return kFileFailed;
        }
        job.log.emplace(*o.log);
    }
    return station.Run([&](Session& s) { return WriteBoard(s, job); });
}

}  // namespace h8sx::cli
