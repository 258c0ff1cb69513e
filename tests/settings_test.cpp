// The settings file beside the program: start-up with and without it, the controls that
// rewrite it, and what a port that cannot be opened does afterwards.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/support/Rig.h"

namespace h8sx::test {
namespace {

using Strings = std::vector<std::string>;

class SettingsTest : public ::testing::Test {
protected:
    std::filesystem::path file() const { return rig.dir.path() / "vtq1653.par"; }
    std::string Saved() const {
        std::ifstream in(file(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void StartWith(const std::string& content) {
        rig.dir.Write("vtq1653.par", content);
        rig.form1.FormShow();
    }

    Rig rig;
};

TEST_F(SettingsTest, WithoutAFileItIsCreatedAndNoFailedOpenEverEndsTheRun) {
    rig.form1.FormShow();
    EXPECT_EQ(Saved(), "113");
    EXPECT_EQ(rig.form1.TickedPort(), 0);
    EXPECT_TRUE(rig.form1.SoundTicked());
    EXPECT_TRUE(rig.link.opened.empty());
    EXPECT_EQ(rig.form1.Busy, 0);

    rig.link.SetHeldElsewhere("COM1", true);
    EXPECT_FALSE(rig.ClickExits([&] { rig.form1.Button2Click(); }));
    EXPECT_FALSE(rig.ClickExits([&] { rig.form1.Button1Click(); }));
    EXPECT_EQ(rig.toolkit.LastStatus(), "ＣＰＵボード応答ありません");
}

struct StartCase {
    std::string content;   // the file before start-up
    std::string saved;     // and after
    int port;              // ticked and opened at 19200 bit/s
    bool sound;
};

class StartUp : public SettingsTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartUp, TheFileSetsTheControlsAndOpensThePort) {
    const StartCase& c = GetParam();
    StartWith(c.content);
    EXPECT_EQ(Saved(), c.saved);
    EXPECT_EQ(rig.form1.TickedPort(), c.port);
    EXPECT_EQ(rig.form1.SoundTicked(), c.sound);
    EXPECT_EQ(rig.link.opened, Strings{"COM" + std::to_string(c.port + 1)});
    EXPECT_EQ(rig.link.HostRate(), 19200u);
    EXPECT_EQ(rig.form1.ReportOpenFailure, 1);
    EXPECT_TRUE(rig.toolkit.Statuses().empty());
}

INSTANTIATE_TEST_SUITE_P(Files, StartUp,
                         ::testing::Values(StartCase{"403", "403", 3, false},
                                           StartCase{"1x9", "109", 0, false},
                                           StartCase{"", "\xFF" "0\xFF", 0, false},
                                           StartCase{"613", "613", 5, true},
                                           StartCase{"7135", "7135", 0, true},  // untouched: not rewritten
                                           StartCase{"20345", "203", 1, false}));

TEST_F(SettingsTest, TheControlsRewriteTheFileAtOnceAndReopenNothing) {
    StartWith("213");
    rig.form1.PortButtonClicked(4);  // COM5
    EXPECT_EQ(Saved(), "513");
    rig.form1.SoundClicked(false);
    EXPECT_EQ(Saved(), "503");
    rig.form1.SoundClicked(true);
    EXPECT_EQ(Saved(), "513");
    EXPECT_EQ(rig.link.opened, Strings{"COM2"});
}

TEST_F(SettingsTest, AnUnwritableDirectoryIsReportedOnEverySave) {
    std::filesystem::permissions(rig.dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const auto probe = rig.dir.path() / "probe";
    if (std::ofstream(probe).is_open()) {
        // Root, and Windows (where the attribute does not guard a directory), write into a
        // read-only directory all the same; below a plain file nobody can write.
        std::filesystem::remove(probe);
        std::filesystem::permissions(rig.dir.path(), std::filesystem::perms::owner_all);
        rig.platform.dir = rig.dir.Write("not-a-directory", "");
    }

    rig.form1.FormShow();
    EXPECT_EQ(rig.toolkit.Statuses(), Strings{"データファイルがありません"});
    EXPECT_TRUE(rig.link.opened.empty());
    EXPECT_EQ(rig.form1.Busy, 0);

    rig.form1.PortButtonClicked(2);
    EXPECT_EQ(rig.form1.TickedPort(), 2);
    EXPECT_EQ(rig.toolkit.Statuses().size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(file()));
}

TEST_F(SettingsTest, AfterAStartWithAFileAPortThatWillNotOpenEndsTheProgram) {
    rig.link.SetHeldElsewhere("COM2", true);
    StartWith("213");  // silent at start-up
    EXPECT_TRUE(rig.toolkit.Statuses().empty());

    EXPECT_TRUE(rig.ClickExits([&] { rig.form1.Button1Click(); }));
    EXPECT_EQ(rig.toolkit.LastStatus(), "ＣＯＭポートオープンできません。終了します。");
}

}  // namespace
}  // namespace h8sx::test
