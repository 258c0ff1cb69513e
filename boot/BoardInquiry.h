// What a board's boot program says of itself, and nothing more: the reset into the boot
// program, the bit-rate matching, the device and clock mode selected as the write selects
// them, then every inquiry of the inquiry/selection state, each answer read whole and
// checked. No new bit rate, no move to the programming/erasure state: nothing is erased.
// Then the board is restarted into its own program.
#pragma once

#include "boot/FlashWrite.h"

namespace h8sx {

class ComLink;

// The answers in `board`; the outcome Done, or why the talk ended (as a write's would,
// with the step and the board's answer in `dialogue`).
WriteResult InquireBoard(ComLink& link, BootClient& client);

}  // namespace h8sx
