#include "monitor/ShiftJis.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace h8sx {

namespace {

#include "monitor/ShiftJisTable.inc"

constexpr std::uint8_t kFirstTrail = 0x40;
constexpr std::uint8_t kLastTrail = 0xFC;
constexpr std::uint8_t kFirstKana = 0xA1;
constexpr std::uint8_t kLastKana = 0xDF;
constexpr char32_t kKanaBase = 0xFF61;  // HALFWIDTH IDEOGRAPHIC FULL STOP, for 0xA1
constexpr std::size_t kLowLeads = 0x9F - 0x81 + 1;

struct CharacterPair {
    char16_t character;
    std::uint16_t pair;  // lead byte << 8 | trail byte
};

// The pair of every character of the table, in the order of the characters: made from the
// table at first use.
//
// Some characters have more than one pair: nine mathematical signs are both in JIS X 0208
// (lead byte 0x81) and in NEC's special characters of row 13 (0x87); the Roman numerals,
// No., Tel and (Ltd.) of row 13 are again in the IBM extension (0xFA-0xFC), whose kanji,
// small Roman numerals and three full-width signs the NEC-selected IBM rows (0xED-0xEE)
// repeat; the full-width not sign and "because" are in three of them. Windows' conversion to
// this code page writes the lowest pair except that the NEC-selected rows come last: JIS X
// 0208 before row 13, row 13 before the IBM extension, the IBM extension before the
// NEC-selected rows (U+2252 as 81 E0, U+2160 as 87 54, U+2170 as FA 40, U+FFE2 as 81 CA).
// So do we: the pairs are taken in that order and the first one of each character is kept.
const std::vector<CharacterPair>& CharacterPairs() {
    static const std::vector<CharacterPair> pairs = [] {
        std::vector<std::uint8_t> leads;
        for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
            if (IsShiftJisLead(static_cast<std::uint8_t>(lead)) && lead != 0xED && lead != 0xEE) {
                leads.push_back(static_cast<std::uint8_t>(lead));
            }
        }
        leads.insert(leads.end(), {0xED, 0xEE});
        std::vector<CharacterPair> v;
        for (const std::uint8_t lead : leads) {
            for (unsigned trail = kFirstTrail; trail <= kLastTrail; ++trail) {
                if (const char32_t c = ShiftJisPair(lead, static_cast<std::uint8_t>(trail))) {
                    v.push_back({static_cast<char16_t>(c), static_cast<std::uint16_t>((lead << 8) | trail)});
                }
            }
        }
        const auto byCharacter = [](CharacterPair a, CharacterPair b) { return a.character < b.character; };
        std::stable_sort(v.begin(), v.end(), byCharacter);
        const auto same = [](CharacterPair a, CharacterPair b) { return a.character == b.character; };
        v.erase(std::unique(v.begin(), v.end(), same), v.end());
        return v;
    }();
    return pairs;
}

}  // namespace

bool IsShiftJisLead(std::uint8_t byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }

bool IsShiftJisTrail(std::uint8_t byte) { return byte >= kFirstTrail && byte <= kLastTrail && byte != 0x7F; }

char32_t ShiftJisPair(std::uint8_t lead, std::uint8_t trail) {
    if (!IsShiftJisLead(lead) || !IsShiftJisTrail(trail)) return 0;
    const std::size_t row = lead <= 0x9F ? lead - 0x81 : kLowLeads + (lead - 0xE0);
    return kShiftJisRows[row][trail - kFirstTrail];
}

char32_t ShiftJisSingle(std::uint8_t byte) {
    if (byte < 0x80) return byte;
    if (byte >= kFirstKana && byte <= kLastKana) return kKanaBase + (byte - kFirstKana);
    return kReplacementCharacter;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool AppendShiftJis(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
        return true;
    }
    if (c >= kKanaBase && c <= kKanaBase + (kLastKana - kFirstKana)) {
        out += static_cast<char>(kFirstKana + (c - kKanaBase));
        return true;
    }
    if (c > 0xFFFF) return false;  // every character of the code page lies below
    const auto& pairs = CharacterPairs();
    const auto it = std::lower_bound(pairs.begin(), pairs.end(), c,
                                     [](CharacterPair p, char32_t x) { return p.character < x; });
    if (it == pairs.end() || it->character != c) return false;
    out += static_cast<char>(it->pair >> 8);
    out += static_cast<char>(it->pair & 0xFF);
    return true;
}

}  // namespace h8sx
