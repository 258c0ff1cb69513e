// A write of the chip's flash through its boot program, from the reset into the boot
// program to the restart into the board's own program: one operation of the core, with
// its options and a client to report to. The window's FWRITE runs it with its fixed
// choices (the ticked port, 38400 bit/s, the file chosen in the open dialog once the flash
// is erased); the command line with its own options and an image it has read and checked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "serial/BitRates.h"

namespace h8sx {

class ComLink;
struct FlashImage;

enum class WriteOutcome : std::uint8_t {
    Done,
    PortNotOpened,   // the port did not open, so nothing answered the bit-rate matching
    NoBoard,         // no answer to the bit-rate matching, or not its confirmation
    BootFailed,      // the boot-mode dialogue ended early (device to MAT selection)
    NoImage,         // nothing to program (no file, or one that could not be read)
    TransferFailed,  // a block or the end of programming refused or unanswered
    Stopped,         // the client asked to stop
};

struct WriteOptions {
    // The rate the boot program is moved to for the erase and the programming.
    std::uint32_t bitRate = kProgrammingBitRate;
    // Blocks of nothing but 0xFF stay as the erase left them instead of being programmed.
    bool skipBlankBlocks = false;
};

// What a write tells its client and asks of it.
class WriteClient {
public:
    virtual ~WriteClient() = default;

    // Opens the write's port at `bitRate`, closing what is open; false when it did not
    // open. The write goes on all the same, and finds no board.
    virtual bool OpenPort(std::uint32_t bitRate) = 0;
    virtual void ShowStatus(const std::string& utf8) = 0;
    virtual void BeepIfSound() = 0;
    virtual void SetProgressPosition(int position) = 0;
    virtual void SetProgressMax(int maximum) = 0;
    // The image to program, asked for once the chip waits for it; nothing: none.
    virtual const FlashImage* ImageToProgram() = 0;
    // Each block of the programming as it is done (`skipped`: left as erased, not sent).
    virtual void BlockDone(std::uint32_t /*done*/, std::uint32_t /*total*/, bool /*skipped*/) {}
    // Restarts the board into its own program, as every write that reached the
    // programming ends.
    virtual void RestartBoard() = 0;
};

struct WriteResult {
    WriteOutcome outcome = WriteOutcome::Done;
    // The programming: commands the image needs, blocks acknowledged, blank blocks left
    // as erased, and the block (from 0) that was refused or not answered.
    std::uint32_t blocks = 0;
    std::uint32_t programmed = 0;
    std::uint32_t skipped = 0;
    std::optional<std::uint32_t> failedBlock;
    // A stop came while a block's answer was awaited: that block may be programmed too.
    bool stoppedInFlight = false;
    // The erase: asked for, and acknowledged.
    bool eraseStarted = false;
    bool erased = false;
    // Whether the write ended with the board restarted into its own program.
    bool restarted = false;
};

class FlashWrite {
public:
    FlashWrite(ComLink& link, WriteClient& client, WriteOptions options = {});
    FlashWrite(const FlashWrite&) = delete;
    FlashWrite& operator=(const FlashWrite&) = delete;

    WriteResult Run();

    // DTR pulsed low with RTS low: the chip restarts into its boot program.
    void PulseReset();
    // The boot-mode dialogue after the bit-rate matching; 0 when the chip waits for
    // programming data, 1 after a failure (its text shown).
    int RunBootCommands();
    // Asks for the image and programs it.
    void TransferImage();
    void ProgramImage(const FlashImage& image);

private:
    bool Stopped();

    ComLink& link_;
    WriteClient& client_;
    const WriteOptions options_;
    WriteResult result_;
    int progressPosition_ = 0;
};

}  // namespace h8sx
