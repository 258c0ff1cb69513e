// Start-up with any settings file. Whatever it holds, one port button is ticked and it is
// the remembered one when the file names one, SOUND follows the second character, the
// ticked port is the one opened, and no failed open ends the program.
#include <cstdint>
#include <string>

#include "app/Platform.h"
#include "tests/fuzz/FuzzCheck.h"
#include "tests/support/Rig.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    h8sx::test::Rig rig;
    const std::string content(reinterpret_cast<const char*>(data), size);
    rig.dir.Write(h8sx::kSettingsFileName, content);
    FUZZ_CHECK(!rig.ClickExits([&] { rig.form1.FormShow(); }));

    const int port = rig.form1.TickedPort();
    FUZZ_CHECK(port >= 0 && port < h8sx::kPortCount);
    if (size >= 1 && content[0] >= '1' && content[0] <= '6') FUZZ_CHECK(port == content[0] - '1');
    if (size < 1 || content[0] < '1' || content[0] > '6') FUZZ_CHECK(port == 0);
    FUZZ_CHECK(rig.form1.SoundTicked() == (size >= 2 && content[1] == '1'));
    FUZZ_CHECK(rig.form1.Busy == 0);
    FUZZ_CHECK(rig.form1.ReportOpenFailure == 1);
    if (!rig.link.opened.empty()) FUZZ_CHECK(rig.link.opened.back() == "COM" + std::to_string(port + 1));
    return 0;
}
