// h8sx info: what the board's boot program says of itself, for a person or, with --json,
// as one JSON object a line for a program. Nothing is erased.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <string>

#include "boot/BoardInquiry.h"
#include "boot/BootProtocol.h"
#include "cli/Commands.h"
#include "cli/Session.h"
#include "cli/System.h"

namespace h8sx::cli {

namespace {

// The inquiry as the command line runs it: status lines and stages on standard error.
class CliInquiry final : public BootClient {
   public:
    explicit CliInquiry(Session& s) : s_(s) {}
    bool OpenPort(std::uint32_t bitRate) override { return s_.OpenPort(bitRate); }
    void ShowStatus(const std::string& utf8) override {
        if (!s_.Stopping()) s_.out.Status(utf8);
    }
    void BeepIfSound() override {}
    void Stage(WriteStage stage) override {
        s_.out.Stage(stage == WriteStage::Matching ? "matching" : stage == WriteStage::Restart ? "restart" : "inquiry");
    }
    void RestartBoard() override { s_.RestartBoard(); }

   private:
    Session& s_;
};

std::string Format(const char* format, auto... values) {
    char text[160];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

std::string Size(std::uint64_t bytes) {
    return bytes % 1024 == 0 ? std::to_string(bytes / 1024) + " KiB" : std::to_string(bytes) + " bytes";
}

std::string Code(const std::array<std::uint8_t, 4>& c) { return Format("%02X %02X %02X %02X", c[0], c[1], c[2], c[3]); }

std::string Mhz(std::uint16_t hundredths) { return Format("%u.%02u", hundredths / 100u, hundredths % 100u); }

// A ratio as the answer gives it: positive multiplies, negative divides.
std::string Ratio(std::int8_t r) { return r < 0 ? "/" + std::to_string(-r) : "x" + std::to_string(r); }

std::string ErrorWords(std::uint8_t error) {
    if (error == 0) return "none";
    const char* meaning = ErrorCodeMeaning(error);
    return meaning ? meaning : "an error occurred";
}

// Erase blocks as runs of one size: "8 of 4 KiB from 0x00000000".
std::string BlockRuns(const std::vector<FlashArea>& blocks) {
    std::string text = std::to_string(blocks.size()) + " blocks";
    for (std::size_t i = 0; i < blocks.size();) {
        std::size_t j = i + 1;
        while (j < blocks.size() && blocks[j].Size() == blocks[i].Size()) ++j;
        text += (i == 0 ? ": " : ", ") + std::to_string(j - i) + " of " + Size(blocks[i].Size()) +
                Format(" from 0x%08" PRIX32, blocks[i].start);
        i = j;
    }
    return text;
}

std::string Areas(const std::vector<FlashArea>& areas) {
    std::string text;
    for (const FlashArea& a : areas)
        text += (text.empty() ? "" : "; ") + Format("0x%08" PRIX32 " to 0x%08" PRIX32 ", ", a.start, a.end) +
                Size(a.Size());
    return text;
}

std::string Text(const std::string& port, const BoardInfo& b) {
    std::string ratios, frequencies, modes;
    for (std::size_t t = 0; t < b.ratios->size(); ++t) {
        ratios += (t ? "; " : "") + std::string("clock type ") + std::to_string(t + 1) + ":";
        for (std::int8_t r : (*b.ratios)[t]) ratios += " " + Ratio(r);
    }
    for (std::size_t t = 0; t < b.frequencies->size(); ++t)
        frequencies += (t ? "; " : "") + std::string("clock type ") + std::to_string(t + 1) + ": " +
                       Mhz((*b.frequencies)[t].min) + " to " + Mhz((*b.frequencies)[t].max) + " MHz";
    for (std::uint8_t m : *b.clockModes) modes += (modes.empty() ? "" : ", ") + Format("%02X", m);
    const char* status = BootStatusMeaning(*b.status);
    return "port:              " + port + "\n" +
           "device:            " + Code(*b.deviceCode) + ", " + b.productName + "\n" +
           "clock modes:       " + modes + "\n" +
           "multiplication:    " + ratios + "\n" +
           "frequencies:       " + frequencies + "\n" +
           "user boot MAT:     " + Areas(*b.userBootMat) + "\n" +
           "user MAT:          " + Areas(*b.userMat) + "\n" +
           "erase blocks:      " + BlockRuns(*b.eraseBlocks) + "\n" +
           "programming unit:  " + std::to_string(*b.programmingUnit) + " bytes\n" +
           "status:            " + Format("%02X", *b.status) + (status ? std::string(", ") + status : "") +
           Format("; error %02X, ", *b.error) + ErrorWords(*b.error) + "\n";
}

std::string Quoted(const std::string& text) {
    std::string q = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') q += '\\';
        if (static_cast<unsigned char>(c) < 0x20) q += Format("\\u%04x", c);
        else q += c;
    }
    return q + "\"";
}

std::string JsonAreas(const std::vector<FlashArea>& areas) {
    std::string text = "[";
    for (const FlashArea& a : areas)
        text += (text.size() > 1 ? "," : "") + Format("{\"start\":%" PRIu32 ",\"end\":%" PRIu32 ",\"size\":%" PRIu64 "}",
                                                      a.start, a.end, a.Size());
    return text + "]";
}

std::string Json(const std::string& port, const BoardInfo& b) {
    std::string modes, ratios, frequencies;
    for (std::uint8_t m : *b.clockModes) modes += (modes.empty() ? "" : ",") + std::to_string(m);
    for (const auto& type : *b.ratios) {
        std::string list;
        for (std::int8_t r : type) list += (list.empty() ? "" : ",") + std::to_string(r);
        ratios += (ratios.empty() ? "[" : ",[") + list + "]";
    }
    for (const auto& r : *b.frequencies)
        frequencies += (frequencies.empty() ? "" : ",") + ("{\"minMHz\":" + Mhz(r.min) + ",\"maxMHz\":" + Mhz(r.max) + "}");
    const char* status = BootStatusMeaning(*b.status);
    return "{\"port\":" + Quoted(port) + ",\"deviceCode\":" + Quoted(Code(*b.deviceCode)) +
           ",\"productName\":" + Quoted(b.productName) + ",\"clockModes\":[" + modes + "],\"ratios\":[" + ratios +
           "],\"frequencies\":[" + frequencies + "],\"userBootMat\":" + JsonAreas(*b.userBootMat) +
           ",\"userMat\":" + JsonAreas(*b.userMat) + ",\"eraseBlocks\":" + JsonAreas(*b.eraseBlocks) +
           ",\"programmingUnit\":" + std::to_string(*b.programmingUnit) +
           ",\"status\":{\"code\":" + std::to_string(*b.status) + ",\"meaning\":" + Quoted(status ? status : "") +
           ",\"error\":" + std::to_string(*b.error) + ",\"errorMeaning\":" + Quoted(ErrorWords(*b.error)) + "}}\n";
}

// Several boards print from their own threads: each one's text whole.
std::mutex printing;

}  // namespace

int Info(Session& s) {
    if (!s.OpenPort(kMatchingBitRate)) return kPortNotOpened;
    if (s.Stopping()) return s.StoppedStatus();  // the board not touched yet
    CliInquiry client(s);
    const WriteResult r = InquireBoard(s.link, client);
    if (r.outcome == WriteOutcome::Stopped && !r.restarted) s.RestartBoard();
    const int status = WriteFailed(s, r);
    std::string text;
    if (status == kDone)
        text = s.options.json ? Json(s.portName, r.board) : Text(s.PortShown(), r.board) + (s.oneOfMany ? "\n" : "");
    else if (s.options.json)
        // A board that failed is a line too, so that a reader of several hears of each.
        text = "{\"port\":" + Quoted(s.portName) + ",\"status\":" + std::to_string(status) +
               ",\"error\":" + Quoted(s.out.Errors().empty() ? std::string() : s.out.Errors().front()) + "}\n";
    if (text.empty()) return status;
    WriteFailure failure;
    std::lock_guard lock(printing);
    if (!WriteAll(stdout, "standard output", text.data(), text.size(), failure)) {
        s.out.Error(failure.Text());
        return failure.error == EPIPE ? kUsage : kFileFailed;
    }
    return status;
}

}  // namespace h8sx::cli
