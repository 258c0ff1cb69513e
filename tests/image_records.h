// S-record text for the loader's and the transfer's tests: records with their checksums.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace h8sx::test {

using Bytes = std::vector<std::uint8_t>;

inline std::string HexByte(unsigned b) {
    char s[3];
    std::snprintf(s, sizeof s, "%02X", b & 0xFF);
    return s;
}

// One record: "S", type, count, address (`addressBytes` bytes), data, checksum, line end.
inline std::string Record(char type, int addressBytes, std::uint32_t address, const Bytes& data = {},
                          const std::string& eol = "\n") {
    const unsigned count = static_cast<unsigned>(addressBytes + data.size() + 1);
    unsigned sum = count;
    std::string r = std::string("S") + type + HexByte(count);
    for (int i = addressBytes - 1; i >= 0; --i) {
        const unsigned b = (address >> (8 * i)) & 0xFF;
        sum += b;
        r += HexByte(b);
    }
    for (std::uint8_t b : data) {
        sum += b;
        r += HexByte(b);
    }
    return r + HexByte(~sum & 0xFF) + eol;
}

// A data record of an S1, S2 or S3 file (kind 1, 2, 3), and the termination record of one.
inline std::string DataRecord(int kind, std::uint32_t address, const Bytes& data,
                              const std::string& eol = "\n") {
    return Record(static_cast<char>('0' + kind), kind + 1, address, data, eol);
}
inline std::string Termination(int kind, const std::string& eol = "\n") {
    return Record(static_cast<char>('0' + 10 - kind), kind + 1, 0, {}, eol);
}
inline std::string Header(const std::string& eol = "\n") {
    return Record('0', 2, 0, Bytes{'h', 'e', 'l', 'l', 'o'}, eol);
}

// A whole file: header, `data` from `address` on in records of `perRecord` bytes, termination.
inline std::string SRecordFile(const Bytes& data, int kind = 1, std::uint32_t address = 0,
                               std::size_t perRecord = 32, const std::string& eol = "\n") {
    std::string text = Header(eol);
    for (std::size_t at = 0; at < data.size(); at += perRecord) {
        const std::size_t n = std::min(perRecord, data.size() - at);
        text += DataRecord(kind, address + static_cast<std::uint32_t>(at),
                           Bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                                 data.begin() + static_cast<std::ptrdiff_t>(at + n)),
                           eol);
    }
    return text + Termination(kind, eol);
}

// One Intel HEX record: ":", byte count, offset, type, data, checksum, line end.
inline std::string HexRecord(unsigned type, std::uint16_t offset, const Bytes& data = {},
                             const std::string& eol = "\n") {
    unsigned sum = static_cast<unsigned>(data.size()) + (offset >> 8) + offset + type;
    std::string r = ":" + HexByte(static_cast<unsigned>(data.size())) + HexByte(offset >> 8) +
                    HexByte(offset) + HexByte(type);
    for (std::uint8_t b : data) {
        sum += b;
        r += HexByte(b);
    }
    return r + HexByte(0x100 - (sum & 0xFF)) + eol;
}

// Data at their addresses, ascending.
using Parts = std::vector<std::pair<std::uint32_t, Bytes>>;

// An Intel HEX file of the parts, 16 bytes a record and none across a 64 KiB boundary: an
// extended linear address record (04) where the upper 16 bits of the address change, or with
// `segments` an extended segment address record (02); the end record last.
inline std::string IntelHexFile(const Parts& parts, const std::string& eol = "\n", bool segments = false) {
    std::string text;
    std::uint32_t upper = 0;
    for (const auto& [address, data] : parts)
        for (std::uint32_t at = 0, a = address; at < data.size(); a = address + at) {
            if (a >> 16 != upper) {
                upper = a >> 16;
                const std::uint32_t base = segments ? upper << 12 : upper;
                text +=
                    HexRecord(segments ? 2 : 4, 0,
                              {static_cast<std::uint8_t>(base >> 8), static_cast<std::uint8_t>(base)}, eol);
            }
            const std::uint32_t n =
                std::min({16u, static_cast<std::uint32_t>(data.size()) - at, 0x10000 - (a & 0xFFFF)});
            text += HexRecord(0, static_cast<std::uint16_t>(a),
                              Bytes(data.begin() + at, data.begin() + at + n), eol);
            at += n;
        }
    return text + HexRecord(1, 0, {}, eol);
}

// The same text with its hex letters in lower case.
inline std::string LowerHex(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Bytes that differ from their neighbours and from 0xFF fill: a misplaced byte shows.
inline Bytes Pattern(std::size_t n, unsigned seed = 1) {
    Bytes b(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = static_cast<std::uint8_t>((x >> 16) % 0xFF);  // never 0xFF
    }
    return b;
}

// The 128 bytes the loader puts behind every image.
inline Bytes Tail() {
    Bytes t(128, 0xFF);
    const std::string marker = "QVN060220";
    std::copy(marker.begin(), marker.end(), t.begin() + 5);
    return t;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace h8sx::test
