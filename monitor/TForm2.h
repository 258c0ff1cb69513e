// The monitor window's behaviour: the on-screen keyboard, MON.CLR and CPU_RESET. What the
// board sends reaches its text box through the main window's tick.
#pragma once

#include <cstdint>

namespace h8sx {

class TForm1;

inline constexpr int kKeyCount = 41;

// The byte a key sends: keys 0..25 are "A".."Z" (small letters while `smallLetter`),
// 26..35 "0".."9", 36..39 "/", "*", "-", "+", 40 "Enter".
std::uint8_t KeyByte(int key, bool smallLetter);

class TForm2 {
public:
    explicit TForm2(TForm1& form1) : form1_(form1) {}

    std::uint8_t KeyChar = 0;
    bool SmallLetter = false;  // CheckBox1 "small letter"

    void KeyClick(int key);  // Button1Click..Button41Click
    void Button42Click();    // MON.CLR
    void Button43Click();    // CPU_RESET

private:
    TForm1& form1_;
};

}  // namespace h8sx
