// FWRITE: from the click to the restarted board.
//
// DTR drives the board's reset (cleared: held in reset) and RTS at the release chooses
// the start: cleared starts the chip's boot program, set the board's own program.
#include <array>

#include "app/TForm1.h"
#include "app/Texts.h"
#include "boot/BootProtocol.h"

namespace h8sx {

namespace {
constexpr std::uint32_t kMatchingBitRate = 19200;
constexpr int kMatchingAttempts = 10;
constexpr std::int32_t kMatchTicks = 2;     // per attempt: 100 to 200 ms
constexpr std::int32_t kConfirmTicks = 10;  // for the 0xE6 after 0x55
}  // namespace

void TForm1::PulseReset() {
    link_.EscapeCommFunction(Escape::CLRDTR);
    link_.EscapeCommFunction(Escape::CLRRTS);
    link_.WaitTicks(1);
    link_.EscapeCommFunction(Escape::SETDTR);
    link_.EscapeCommFunction(Escape::CLRRTS);
}

void TForm1::Button1Click() {
    // Every wait pumps messages, so a second click could arrive mid-write: it must not
    // start a nested write on the same port and countdown.
    if (Busy || WriteRunning) return;
    WriteRunning = 1;
    const struct EndOfWrite { std::uint8_t& flag; ~EndOfWrite() { flag = 0; } } endOfWrite{WriteRunning};
    Busy = 1;
    MonitorPortOpen = 1;

    PulseReset();  // on whatever port is open now
    OpenComPort(SelectedPortName(), kMatchingBitRate);
    const bool opened = link_.ComHandle != kInvalidHandle;
    BeepIfSound();
    link_.EscapeCommFunction(Escape::CLRRTS);
    ShowStatus(text::kMatching);
    PulseReset();

    std::array<std::uint8_t, kScanLength> ResponseBuffer{};
    bool answered = false;
    for (std::uint8_t attempts = 0; attempts < kMatchingAttempts && !answered && !toolkit_.StopRequested();
         ++attempts) {
        link_.SendBytes(&boot::kMatchByte, 1);
        // 0x00 is also what the buffer is cleared to: any read shorter than 20 bytes counts.
        answered = link_.AwaitBootResponse(ResponseBuffer, kMatchTicks, 0, boot::kMatchByte).has_value();
    }
    if (!answered) {
        ShowStatus(text::kNoBoard);
        LastOutcome = opened ? Outcome::NoBoard : Outcome::PortNotOpened;
        Busy = 0;
        return;
    }
    ShowStatus(text::kMatchAnswered);

    ShowStatus(text::kMatchDone);
    link_.SendBytes(&boot::kMatchConfirm, 1);
    if (!link_.AwaitBootResponse(ResponseBuffer, kConfirmTicks, 0, boot::kMatchConfirmed)) {
        BeepIfSound();
        ShowStatus(text::kNoCpuAnswer);
        LastOutcome = Outcome::NoBoard;
        Busy = 0;
        return;
    }
    ShowStatus(text::kConfirmAnswered);

    if (RunBootCommands() == 0) {
        TransferImage();
        ResetForMonitor();  // into the board's own program, whatever the transfer's outcome
    } else {
        LastOutcome = Outcome::BootFailed;
    }
    Busy = 0;
}

}  // namespace h8sx
