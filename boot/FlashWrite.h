// A write of the chip's flash through its boot program, from the reset into the boot
// program to the restart into the board's own program: one operation of the core, with
// its options and a client to report to. The window's FWRITE runs it with its fixed
// choices (the ticked port, 38400 bit/s, the file chosen in the open dialog once the flash
// is erased); the command line with its own options and an image it has read and checked.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "boot/BootAnswers.h"
#include "serial/BitRates.h"

namespace h8sx {

class BootDialogue;
class ComLink;
struct FlashImage;

enum class WriteOutcome : std::uint8_t {
    Done,
    PortNotOpened,   // the port did not open, so nothing answered the bit-rate matching
    NoBoard,         // no answer to the bit-rate matching, or not its confirmation
    BootFailed,      // the boot-mode dialogue ended early (device to MAT selection)
    NoImage,         // nothing to program (no file, or one that could not be read)
    TransferFailed,  // a block or the end of programming refused or unanswered
    NotBlank,        // the blank check after the erase found bytes that are not 0xFF
    VerifyFailed,    // the flash does not hold what was programmed, or a verify step failed
    Stopped,         // the client asked to stop
    PortLost,        // the port went away under the write (the client ends its waits then)
};

// What a write checks of the flash with the boot program's own commands, none of which
// the window's FWRITE sends.
enum class Verify : std::uint8_t {
    None,
    // The blank check and the sum of the user MAT after the erase; after the programming
    // the sum again, which the programmed bytes must account for exactly.
    Sum,
    // The same, and every programmed block read back and compared byte for byte.
    Read,
};

struct VerifyResult {
    enum class Fault : std::uint8_t {
        None,
        NotBlank,      // CD 52 to the blank check
        NoAnswer,      // nothing, or not all of the answer, within the time
        NotTaken,      // 80 and the command: the boot program does not take it
        ErrorAnswer,   // the command byte with bit 7 set, and `code`
        BadAnswer,     // an answer of the wrong form or checksum
        SumMismatch,   // the sum after the programming is not what the blocks account for
        ByteMismatch,  // a byte read back differs: `address`, `expected`, `actual`
    };
    Fault fault = Fault::None;
    std::uint8_t command = 0;  // the command the fault came at
    std::uint8_t code = 0;
    bool blank = false;                      // the blank check found the user MAT erased
    std::optional<std::uint32_t> erasedSum;  // the user MAT's sum after the erase
    std::optional<std::uint32_t> sum;        // and after the programming
    std::uint32_t expectedSum = 0;
    std::uint32_t address = 0;
    std::uint8_t expected = 0;
    std::uint8_t actual = 0;
    std::uint64_t bytesRead = 0;  // read back and found as programmed
};

// Why the boot dialogue ended, kept where the client asked for it (WriteOptions::explain):
// the step and what the board answered to it.
struct DialogueFault {
    enum class Kind : std::uint8_t {
        None,
        NoAnswer,     // nothing within the step's time
        ShortAnswer,  // fewer bytes than the answer's own size announces (`expected`)
        ErrorAnswer,  // the command byte with bit 7 set, and an error code
        NotTaken,     // 80 and the command byte: the boot program does not take it here
        Unexpected,   // bytes that answer nothing the step sent
        WrongDevice,  // the supported device answer names a device this writer does not serve
        BadSum,       // an inquiry's answer whose bytes do not add up to 0
        BadLayout,    // an inquiry's answer whose size does not hold what its counts announce
        TooLarge,     // the image (`expected` bytes) runs past the user MAT (`found` bytes)
        WrongUnit,    // the programming unit is `found` bytes, not the 128 this writer sends
    };
    Kind kind = Kind::None;
    const char* step = nullptr;  // the exchange's name, or "bit-rate matching"
    std::uint8_t command = 0;
    // What came: the error answer, the short answer, the unexpected bytes; for a wrong
    // device the supported device answer from its first byte.
    std::vector<std::uint8_t> answer;
    std::size_t expected = 0;
    std::uint64_t found = 0;
};

struct WriteOptions {
    // The rate the boot program is moved to for the erase and the programming.
    std::uint32_t bitRate = kProgrammingBitRate;
    // Blocks of nothing but 0xFF stay as the erase left them instead of being programmed,
    // but for those from `keepBlocksFrom` (a board's serial number) up to `keepBlocksTo`.
    bool skipBlankBlocks = false;
    std::uint32_t keepBlocksFrom = 0, keepBlocksTo = 0;
    Verify verify = Verify::None;
    // The command line's: an error answer of the boot dialogue ends it at once, and a step
    // that fails keeps what the board answered (WriteResult::dialogue). The windows wait
    // each step's time out and show their text alone.
    bool explain = false;
    // The command line's: the image's length, known before the board is touched. The user
    // MAT and the programming unit are asked for before the new bit rate, and an image
    // larger than the MAT, or a unit other than 128 bytes, ends the write before the erase.
    std::optional<std::uint32_t> imageBytes;
    // The command line's: a block the board's sum refused (D0 11) is sent again, and one
    // whose answer came garbled is read back before it is sent again, up to this many
    // times in all per block. Nothing: every answer but 06 ends the write, as in the window.
    std::optional<unsigned> retries;
};

// Where a write is, for a client that shows more than the status texts.
enum class WriteStage : std::uint8_t {
    Matching,     // the reset into the boot program and the bit-rate matching
    Dialogue,     // the device, clock and bit-rate selection
    Erase,        // the erase, and the blank check after it
    Programming,  // the blocks
    Verify,       // the sum check and the read back after the programming
    Restart,      // the restart into the board's own program
};

// What every talk with the boot program tells its client and asks of it.
class BootClient {
public:
    virtual ~BootClient() = default;

    // Opens the port at `bitRate`, closing what is open; false when it did not open. The
    // talk goes on all the same, and finds no board.
    virtual bool OpenPort(std::uint32_t bitRate) = 0;
    virtual void ShowStatus(const std::string& utf8) = 0;
    virtual void BeepIfSound() = 0;
    // Each stage as it begins.
    virtual void Stage(WriteStage /*stage*/) {}
    // Restarts the board into its own program, as every talk that reached the boot
    // program ends.
    virtual void RestartBoard() = 0;
};

// What a write tells its client and asks of it, beyond that.
class WriteClient : public BootClient {
public:
    virtual void SetProgressPosition(int position) = 0;
    virtual void SetProgressMax(int maximum) = 0;
    // The image to program, asked for once the chip waits for it; nothing: none.
    virtual const FlashImage* ImageToProgram() = 0;
    // Each block of the programming as it is done (`skipped`: left as erased, not sent).
    virtual void BlockDone(std::uint32_t /*done*/, std::uint32_t /*total*/, bool /*skipped*/) {}
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
    // Whether the write ended with the board restarted into its own program (never after
    // the port went away: nothing reaches the board any more).
    bool restarted = false;
    // The boot program answered the new bit rate selection with an error (BF 24: it
    // cannot make the rate); the write then fails at the confirmation.
    bool bitRateRefused = false;
    DialogueFault dialogue;
    VerifyResult verify;
    // Blocks sent again or read back (WriteOptions::retries), and how often in all.
    std::uint32_t retriedBlocks = 0;
    std::uint32_t retries = 0;
    // What the board answered to the inquiries read whole (the command line's).
    BoardInfo board;
};

class FlashWrite {
public:
    FlashWrite(ComLink& link, WriteClient& client, WriteOptions options = {});
    FlashWrite(const FlashWrite&) = delete;
    FlashWrite& operator=(const FlashWrite&) = delete;

    WriteResult Run();

    // The boot-mode dialogue after the bit-rate matching; 0 when the chip waits for
    // programming data, 1 after a failure (its text shown).
    int RunBootCommands();
    // Asks for the image and programs it.
    void TransferImage();
    void ProgramImage(const FlashImage& image);
    // The blank check and the erased sum, after the erase; false after a fault.
    bool VerifyErased();
    // The sum check and, when asked for, the read back, after the programming.
    bool VerifyProgrammed(const FlashImage& image);

private:
    // Whether the waits were interrupted: a stop asked for, or the port gone (the outcome
    // says which).
    bool Stopped();
    // Into the board's own program, where the port still reaches it.
    void Restart();
    // Whether block `index` of `image` stays as the erase left it (--skip-blank).
    bool LeftErased(const FlashImage& image, std::uint32_t index) const;
    // Sends a command of the programming/erasure state and reads its answer into `answer`
    // (`okCode` first, `answer.size()` bytes in all, the last its checksum when
    // `summed`); false, with the fault recorded, otherwise.
    bool Inquire(std::span<const std::uint8_t> command, std::uint8_t okCode, std::span<std::uint8_t> answer,
                 bool summed, std::int32_t ticks);
    bool SumCheck(std::uint32_t& sum);
    // The user MAT and the programming unit asked for: whether the image fits them.
    bool FlashFitsImage(BootDialogue& d);
    // One block sent, its answer awaited and, with retries, what the line did to it
    // mended; false when the write ends at it (the outcome says why).
    bool ProgramBlock(std::uint32_t index, std::span<const std::uint8_t> command);
    // What became of a block whose answer came garbled or not at all, read back from the
    // flash: the programming ended, the block read, the user MAT selected again.
    enum class BlockState : std::uint8_t { Programmed, Erased, Other, Unknown };
    BlockState ReadBackBlock(std::uint32_t index, std::span<const std::uint8_t> command);

    ComLink& link_;
    WriteClient& client_;
    const WriteOptions options_;
    WriteResult result_;
};

}  // namespace h8sx
