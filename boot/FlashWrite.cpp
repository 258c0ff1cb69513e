// The write from the reset to the restarted board, and FWRITE, the window's use of it.
//
// DTR drives the board's reset (cleared: held in reset) and RTS at the release chooses
// the start: cleared starts the chip's boot program, set the board's own program.
#include "boot/FlashWrite.h"

#include <array>
#include <vector>

#include "app/TForm1.h"
#include "app/Texts.h"
#include "boot/BootDialogue.h"
#include "boot/BootProtocol.h"
#include "image/FlashImage.h"
#include "serial/ComLink.h"

namespace h8sx {

FlashWrite::FlashWrite(ComLink& link, WriteClient& client, WriteOptions options)
    : link_(link), client_(client), options_(options) {}

bool FlashWrite::Stopped() {
    if (!link_.Interrupted()) return false;
    result_.outcome = link_.Lost() ? WriteOutcome::PortLost : WriteOutcome::Stopped;
    return true;
}

void FlashWrite::Restart() {
    if (result_.outcome == WriteOutcome::PortLost) return;
    client_.Stage(WriteStage::Restart);
    client_.RestartBoard();
    result_.restarted = true;
}

WriteResult FlashWrite::Run() {
    if (!BootDialogue(link_, client_, options_.explain, result_).MatchBitRate()) return result_;
    if (RunBootCommands() != 0) {
        if (Stopped()) return result_;
        if (result_.verify.fault == VerifyResult::Fault::None) {
            result_.outcome = WriteOutcome::BootFailed;
            return result_;
        }
        // The verify's own failure after the erase: the board goes back to its own program.
        result_.outcome = result_.verify.fault == VerifyResult::Fault::NotBlank ? WriteOutcome::NotBlank
                                                                                : WriteOutcome::VerifyFailed;
        Restart();
        return result_;
    }
    TransferImage();
    // Into the board's own program, whatever the transfer's outcome.
    Restart();
    return result_;
}

void FlashWrite::TransferImage() {
    const FlashImage* image = client_.ImageToProgram();
    if (image == nullptr) {
        result_.outcome = WriteOutcome::NoImage;
        return;
    }
    ProgramImage(*image);
    if (result_.outcome != WriteOutcome::Done || options_.verify == Verify::None) return;
    if (!VerifyProgrammed(*image)) {
        if (!Stopped()) result_.outcome = WriteOutcome::VerifyFailed;
        return;
    }
    client_.ShowStatus(text::kWriteDone);
    client_.BeepIfSound();
}

namespace {

// FWRITE as the window runs it: the ticked port, reopened as the window opens it (a port
// that cannot be opened ends the program once start-up is over), and the file the operator
// chooses in the open dialog once the flash has been erased.
class WindowWrite final : public WriteClient {
public:
    explicit WindowWrite(TForm1& form) : form_(form) {}

    bool OpenPort(std::uint32_t bitRate) override {
        form_.OpenComPort(form_.SelectedPortName(), bitRate);
        return form_.Link().ComHandle != kInvalidHandle;
    }
    void ShowStatus(const std::string& utf8) override { form_.ShowStatus(utf8); }
    void BeepIfSound() override { form_.BeepIfSound(); }
    void SetProgressPosition(int position) override { form_.SetProgressPosition(position); }
    void SetProgressMax(int maximum) override { form_.SetProgressMax(maximum); }
    const FlashImage* ImageToProgram() override { return form_.LoadImage(image_) ? &image_ : nullptr; }
    void RestartBoard() override { form_.ResetForMonitor(); }

private:
    TForm1& form_;
    FlashImage image_;
};

}  // namespace

void TForm1::Button1Click() {
    // Every wait pumps messages, so a second click could arrive mid-write: it must not
    // start a nested write on the same port and countdown.
    if (Busy || WriteRunning) return;
    WriteRunning = 1;
    const struct EndOfWrite { std::uint8_t& flag; ~EndOfWrite() { flag = 0; } } endOfWrite{WriteRunning};
    Busy = 1;
    MonitorPortOpen = 1;
    WindowWrite client(*this);
    FlashWrite(link_, client).Run();
    Busy = 0;
}

}  // namespace h8sx
