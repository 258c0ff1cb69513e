// The monitor window's behaviour: the text box that shows what the board sends (fed by
// the main window's tick), the on-screen keyboard, MON.CLR and CPU_RESET.
#pragma once

#include <cstdint>

#include "app/TForm1.h"
#include "monitor/MonitorLines.h"
#include "monitor/ReceiveText.h"

namespace h8sx {

inline constexpr int kKeyCount = 41;

// The byte a key sends: keys 0..25 are "A".."Z" (small letters while `smallLetter`),
// 26..35 "0".."9", 36..39 "/", "*", "-", "+", 40 "Enter".
std::uint8_t KeyByte(int key, bool smallLetter);

class TForm2 final : public ReceiveSink {
public:
    explicit TForm2(TForm1& form1) : form1_(form1) { form1_.AttachMonitor(this); }
    ~TForm2() { form1_.AttachMonitor(nullptr); }
    TForm2(const TForm2&) = delete;
    TForm2& operator=(const TForm2&) = delete;

    std::uint8_t KeyChar = 0;
    bool SmallLetter = false;  // CheckBox1 "small letter"

    void KeyClick(int key);  // Button1Click..Button41Click
    void Button42Click();    // MON.CLR
    void Button43Click();    // CPU_RESET
    // Appends what the board has sent to the text box (Memo1), keeping it bounded.
    void ReceivePoll() override;

private:
    TForm1& form1_;
    ReceiveText receiveText_;
    MonitorLines monitorLines_;
};

}  // namespace h8sx
