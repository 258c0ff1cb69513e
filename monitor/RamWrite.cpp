// RAM_WRITE: the board restarts into its own program and takes an S-record file as text.
#include <cstdio>
#include <initializer_list>
#include <optional>

#include "app/TForm1.h"
#include "app/Texts.h"
#include "image/SRecord.h"
#include "monitor/OwnProgram.h"

namespace h8sx {

namespace {

constexpr int kEnd = -1;  // ByteSource's end
constexpr std::uint8_t kCR = 0x0D;
constexpr std::uint8_t kLF = 0x0A;
constexpr int kCtrlZ = 0x1A;  // the end of a text file, wherever the file goes on

// The file as a text stream, the same on every platform: every line end reads as one LF,
// and a Ctrl-Z ends the file. CR bytes before an LF vanish, so LF, CR LF and CR CR LF
// read alike; a run of CRs with no LF behind it (a file of CR line ends) is one line end.
class TextReader {
public:
    explicit TextReader(ByteSource& in) : in_(in) {}
    int Get() {
        if (ended_) return kEnd;
        int c = Next();
        if (c == kCR) {
            do c = Next();
            while (c == kCR);
            if (c != kLF) {
                held_ = c;
                c = kLF;
            }
        }
        if (c == kEnd || c == kCtrlZ) {
            ended_ = true;
            return kEnd;
        }
        return c;
    }

private:
    int Next() {
        if (held_ == kNone) return in_.Get();
        const int c = held_;
        held_ = kNone;
        return c;
    }

    static constexpr int kNone = -2;
    ByteSource& in_;
    int held_ = kNone;  // the character read behind a run of CRs
    bool ended_ = false;
};

}  // namespace

bool SendRamWrite(ComLink& link, ByteSource& file) {
    TextReader in(file);
    const auto send = [&](std::initializer_list<std::uint8_t> bytes) {
        link.SendBytes(bytes.begin(), bytes.size());
        link.pump().ProcessMessages();
        return !link.Interrupted();
    };
    int c = in.Get();
    while (c != kEnd) {
        if (c == 'S') {
            const int type = in.Get();
            if (type == '0') {
                // The header and its line end stay behind; the "S" that follows starts the
                // next record, read as any record (an S7 there still ends the load). A file
                // that ends inside the header ends here.
                do c = in.Get();
                while (c != kEnd && c != 'S');
                continue;
            }
            if (type == '7') {
                // The board takes the load at "S7" CR; the rest of the file is not read.
                const std::uint8_t end[] = {'S', '7', kCR};
                link.SendBytes(end, sizeof end);
                return true;
            }
            if (type == kEnd || type == kLF) {
                // No type character: the "S" goes alone, and a line end after it stays
                // a line end.
                if (!send({'S'})) return false;
                if (type == kEnd) return true;
                if (!send({kCR, kLF})) return false;
            } else if (!send({'S', static_cast<std::uint8_t>(type)})) {
                return false;
            }
        } else if (c == kLF) {
            if (!send({kCR, kLF})) return false;
        } else if (!send({static_cast<std::uint8_t>(c)})) {
            return false;
        }
        c = in.Get();
    }
    return true;
}

void TForm1::Button3Click() {
    // The board restarts whatever the operator does next.
    ResetForMonitor();
    const std::optional<std::string> path = toolkit_.RunOpenDialog();
    if (!path) return;
    ShowStatus(text::kTransferring);
    const UniqueFile f(platform_.OpenFile(*path, "rb"));
    if (!f) return;
    FileSource source(f.get());
    SendRamWrite(link_, source);
    ShowStatus(text::kTransferDone);
    BeepIfSound();
}

}  // namespace h8sx
