#include "boot/BoardInquiry.h"

#include "boot/BootDialogue.h"
#include "serial/ComLink.h"

namespace h8sx {

WriteResult InquireBoard(ComLink& link, BootClient& client) {
    using namespace exchange;
    WriteResult result;
    BootDialogue d(link, client, true, result);
    if (!d.MatchBitRate()) return result;
    bool answered = d.SelectDevice();
    for (const BootExchange* x : {&RatioInquiry, &FrequencyInquiry, &UserBootMatInquiry, &UserMatInquiry,
                                  &EraseBlockInquiry, &ProgrammingUnitInquiry, &BootStatusInquiry})
        answered = answered && d.Ask(*x);
    if (!answered && !d.Stopped()) result.outcome = WriteOutcome::BootFailed;
    if (result.outcome != WriteOutcome::PortLost) {
        client.Stage(WriteStage::Restart);
        client.RestartBoard();
        result.restarted = true;
    }
    return result;
}

}  // namespace h8sx
