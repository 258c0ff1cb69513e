// h8sx write: the image read and checked before the board is touched, the core's write
// with the command line's options, and what went wrong named for the engineer.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "boot/BootProtocol.h"
#include "boot/FlashWrite.h"
#include "cli/Commands.h"
#include "cli/ImageFile.h"
#include "cli/Session.h"
#include "image/FlashImage.h"
#include "image/SRecord.h"

namespace h8sx::cli {

namespace {

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06" PRIX32, value);
    return text;
}

// What the flash holds after a write that did not end well.
std::string FlashState(const WriteResult& r) {
    if (!r.eraseStarted) return "the flash is as it was";
    if (!r.erased) return "the flash may be partly erased";
    if (r.blocks == 0) return "the flash is erased";
    const std::uint32_t held = r.failedBlock ? *r.failedBlock : r.programmed + r.skipped;
    std::string text = "the flash holds the first " + std::to_string(held) + " of " + std::to_string(r.blocks) +
                       " blocks and is erased from " + Hex(held * std::uint32_t{boot::kBlockSize}) + " on";
    if (r.stoppedInFlight) text += " (block " + std::to_string(held + 1) + " was on its way: it may be written too)";
    return text;
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
            std::snprintf(text, sizeof text, " with an error (%02X %02X)", v.command | boot::kErrorBit, v.code);
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
    void BlockDone(std::uint32_t done, std::uint32_t total, bool skipped) override {
        s_.out.Progress(done, total, skipped);
    }
    void RestartBoard() override { s_.RestartBoard(); }

   private:
    Session& s_;
    const FlashImage& image_;
};

// The failure of a write, named for the engineer, with the window's status text.
int WriteFailed(Session& s, const WriteResult& r) {
    const std::string window = " (" + s.out.LastStatus() + ")";
    const auto restarted = [&] {
        return FlashState(r) + (r.restarted ? "; the board was restarted into its own program" : "");
    };
    switch (r.outcome) {
        case WriteOutcome::Done: return kDone;
        case WriteOutcome::PortNotOpened:
            s.out.Error("the port " + s.portName + " could not be opened");
            return kPortNotOpened;
        case WriteOutcome::NoBoard:
            s.out.Error("no board answered the bit-rate matching" + window);
            return kNoBoard;
        case WriteOutcome::BootFailed:
            if (r.bitRateRefused)
                s.out.Error("the board refused the bit rate " + std::to_string(s.options.bitRate) +
                            " (BF 24): its boot program cannot make it; a lower --bit-rate may do");
            s.out.Error("the boot dialogue failed" + window + "; " + FlashState(r));
            return kBootFailed;
        case WriteOutcome::NotBlank:
            s.out.Error("the blank check after the erase found bytes that are not 0xFF (CD 52): the erase did not "
                        "take; nothing was programmed, and the board was restarted into its own program");
            return kBootFailed;
        case WriteOutcome::VerifyFailed:
            s.out.Error(VerifyFailure(r.verify) + "; the board was restarted into its own program");
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
        case WriteOutcome::Stopped:
            s.out.Error("interrupted: " + restarted());
            return s.StoppedStatus();
    }
    return kTransferFailed;  // not reached: every outcome has its case
}

}  // namespace

int Write(Session& s) {
    FlashImage image;
    ImageLoad load;
    // The file is read before the board is touched: a damaged one leaves the flash as it is.
    if (const int status = ReadImageFile(s.options, s.platform, s.out, image, load); status != kDone) return status;
    if (!s.OpenPort(kMatchingBitRate)) return kPortNotOpened;
    if (s.Stopping()) return s.StoppedStatus();  // the board not touched yet

    CliWrite client(s, image);
    WriteOptions options;
    options.skipBlankBlocks = s.options.skipBlank;
    options.bitRate = s.options.bitRate;
    options.verify = s.options.verify;
    const WriteResult r = FlashWrite(s.link, client, options).Run();
    if (r.outcome == WriteOutcome::Stopped && !r.restarted) s.RestartBoard();
    if (r.outcome == WriteOutcome::Done && s.options.skipBlank)
        s.out.Note(std::to_string(r.programmed) + " blocks programmed, " + std::to_string(r.skipped) +
                   " blank blocks left as erased");
    return WriteFailed(s, r);
}

}  // namespace h8sx::cli
