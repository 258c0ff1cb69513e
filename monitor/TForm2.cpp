#include "monitor/TForm2.h"

#include "app/TForm1.h"

namespace h8sx {

std::uint8_t KeyByte(int key, bool smallLetter) {
    if (key >= 0 && key < 26) return static_cast<std::uint8_t>((smallLetter ? 'a' : 'A') + key);
    if (key >= 26 && key < 36) return static_cast<std::uint8_t>('0' + (key - 26));
    switch (key) {
        case 36: return '/';
        case 37: return '*';
        case 38: return '-';
        case 39: return '+';
        case 40: return 0x0D;  // Enter: a carriage return alone
        default: return 0;
    }
}

void TForm2::KeyClick(int key) {
    if (key < 0 || key >= kKeyCount) return;
    KeyChar = KeyByte(key, SmallLetter);
    form1_.SendKey(KeyChar);
}

void TForm2::Button43Click() {
    form1_.BeepIfSound();
    form1_.ResetForMonitor();
}

}  // namespace h8sx
