// The talk with the chip's boot program up to its clock mode, which every operation with it
// begins with (the write, the board's inquiry): the reset into the boot program, the
// bit-rate matching, the device and the clock mode identified and selected. Then one
// exchange after another, each with its texts, its failure explained where the client
// asked for that (the bytes the board answered, kept in the result's DialogueFault).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "boot/BootProtocol.h"
#include "boot/FlashWrite.h"

namespace h8sx {

class ComLink;

// DTR pulsed low with RTS low: the chip restarts into its boot program.
void PulseBootReset(ComLink& link);

// The first half of the bit-rate matching, and nothing more: the board reset into its boot
// program and 00 sent until it answers 00. Whether a board is there, without touching its
// flash (it waits in its boot program afterwards, until the next reset).
bool BoardAnswersMatching(ComLink& link);

// What a step shows on success and on failure.
struct StepTexts {
    const char* ok;
    const char* fail;
};

class BootDialogue {
public:
    BootDialogue(ComLink& link, BootClient& client, bool explain, WriteResult& result);

    // The board reset into its boot program (its port opened anew at the matching rate),
    // 00 sent until the chip answers, then 55 and its E6. False, with the outcome set,
    // when no board answered or the waits were interrupted.
    bool MatchBitRate();
    // The supported device inquiry, the device selection, the clock mode inquiry and
    // selection; false after a failure (its text shown). Explaining, each inquiry's answer
    // is read whole, checked and kept in the result's BoardInfo.
    bool SelectDevice();
    // An inquiry of the inquiry/selection state whose answer is read whole (its size says
    // how long it is), checked against its layout and kept in the result's BoardInfo;
    // false, with the fault explained, otherwise.
    bool Ask(const BootExchange& x);

    // Sends the exchange's command (or `command` in its place) and awaits its answer as
    // the window does. Explaining, an error answer ends the wait at once, and a step that
    // fails keeps what the board said.
    std::optional<std::size_t> Exchange(const BootExchange& x, const std::uint8_t* command = nullptr);
    // One exchange with its texts; false after a failure (beep, then its text).
    bool Step(const BootExchange& x, StepTexts texts, const std::uint8_t* command = nullptr);
    bool Fail(const char* message);
    // What the board answered to a step that failed: the bytes heard, and what still waits.
    void Explain(const char* step, std::uint8_t command, std::optional<std::uint8_t> awaited);
    void Heard(std::span<const std::uint8_t> bytes);
    // Whether the waits were interrupted (a stop, the port gone): the outcome says which.
    bool Stopped();

    static constexpr std::size_t kResponseBufferSize = 200;
    std::array<std::uint8_t, kResponseBufferSize> ResponseBuffer{};
    std::vector<std::uint8_t> heard_;

private:
    // Where the bytes heard hold an error answer to `command`: its code with bit 7 set, or
    // 80 and the command (the command not taken here).
    std::optional<std::size_t> ErrorAnswerAt(std::uint8_t command) const;
    // The supported device answer names a device this writer does not serve: said, and
    // kept with the answer.
    bool NotThisDevice(std::span<const std::uint8_t> answer);

    ComLink& link_;
    BootClient& client_;
    const bool explain_;
    WriteResult& result_;
};

}  // namespace h8sx
