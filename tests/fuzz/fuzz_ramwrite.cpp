// RAM_WRITE of any file, against the in-process board in virtual time. Whatever the file,
// every line goes out ending in CR LF, the only other CR is the one of "S7" CR that ends
// the transfer, a Ctrl-Z never goes out, and the transfer ends with its status.
#include <cstdint>
#include <string>

#include "tests/fuzz/FuzzCheck.h"
#include "tests/support/Rig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    h8sx::test::Rig rig;
    rig.OpenStartupPort();
    rig.toolkit.dialogAnswers.push(
        rig.dir.Write("load.mot", std::string(reinterpret_cast<const char*>(data), size)).string());
    rig.form1.Button3Click();

    const auto& sent = rig.link.sent;
    const std::size_t n = sent.size();
    FUZZ_CHECK(n <= 2 * size + 3);
    const bool endsWithS7 = n >= 3 && sent[n - 3] == 'S' && sent[n - 2] == '7' && sent[n - 1] == '\r';
    for (std::size_t i = 0; i < n; ++i) {
        FUZZ_CHECK(sent[i] != 0x1A);
        if (sent[i] == '\n') FUZZ_CHECK(i > 0 && sent[i - 1] == '\r');
        if (sent[i] == '\r') FUZZ_CHECK((i + 1 < n && sent[i + 1] == '\n') || (i + 1 == n && endsWithS7));
    }
    FUZZ_CHECK(rig.toolkit.LastStatus() == "ファイル転送終了しました");
    FUZZ_CHECK(rig.form1.Busy == 0);
    return 0;
}
