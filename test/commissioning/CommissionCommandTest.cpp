// `pelmora commission` end to end: every step through the dialogs, the result saved only when
// all succeeded, and a report page that names every value found.
#include "CommissionCommands.h"

#include "MC_Comm.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(CommissionCommand, SavesAndReportsOnlyWhenEveryStepSucceeded) {
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Load(PELMORA_PLUGIN_PATH)) << plugin.Error();
    const fs::path dir = fs::temp_directory_path() /
                         ("pelmora-commission-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::remove_all(dir);
    fs::create_directories(dir);

    struct Case {
        const char* name;
        const char* sim;  // the simulator file's contents; null for the default
        int exitCode;
        const char* said;  // in stderr
    };
    const Case cases[] = {
        {"healthy axis", nullptr, 0, "report in"},
        {"short circuit at the first step", R"({"faults":{"forced_mer":2}})", 1,
         "step 1 (vdc) failed; the commissioning stopped there and nothing was saved"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path run = dir / std::to_string(n++);
        fs::create_directories(run);
        CommissionArguments a;
        if (c.sim) {
            a.simPath = (run / "sim.json").string();
            std::ofstream(a.simPath) << c.sim;
        }
        a.outPath = (run / "out.json").string();
        a.reportDir = (run / "report").string();
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunCommission(CommandContext{out, err, plugin}, a), c.exitCode) << err.str();
        EXPECT_NE(err.str().find(c.said), std::string::npos) << err.str();
        EXPECT_FALSE(CMC_Comm::IsConnected()) << "the command left a link behind";
        EXPECT_EQ(fs::exists(a.outPath), c.exitCode == 0);
        EXPECT_EQ(fs::exists(run / "report" / "index.html"), c.exitCode == 0);
        if (c.exitCode != 0) continue;

        // Every step ran in order, and what each found is in the saved setup and the report.
        std::size_t at = 0;
        for (std::string_view step : CommissioningSequence()) {
            const std::size_t found = err.str().find(": " + std::string(step) + "\n", at);
            EXPECT_NE(found, std::string::npos) << "step " << step << " missing or out of order:\n" << err.str();
            at = found == std::string::npos ? at : found;
        }
        SetupLoadResult saved = LoadSetupFile(a.outPath);
        ASSERT_TRUE(saved) << saved.error;
        EXPECT_NEAR(saved.setup->FindParameter("Vdc")->GetValueInBaseUnit(), 47.63, 0.01);
        const std::string page = ReadFile(run / "report" / "index.html");
        EXPECT_NE(page.find("<td>vdc</td><td>Vdc</td><td>48 V</td><td>47.63 V</td>"), std::string::npos) << page;
        // Every tuning step's response is plotted on the page, its picture beside it.
        for (std::string_view stem : {"CurrentTuning", "SpeedTuning", "PositionTuning"}) {
            const std::string picture = std::string(stem) + ".svg";
            EXPECT_NE(page.find("<img src=\"" + picture + "\""), std::string::npos) << stem << " not on the page";
            EXPECT_TRUE(fs::exists(run / "report" / picture)) << picture;
        }
    }
    fs::remove_all(dir);
}

TEST(CommissionCommand, TheStepsComeInTheOrderEachReliesOnTheOnesBefore) {
    const std::vector<std::string_view> sequence = CommissioningSequence();
    ASSERT_FALSE(sequence.empty());
    EXPECT_EQ(sequence.front(), "vdc") << "every voltage is scaled by the supply voltage";
    auto position = [&](std::string_view step) {
        return std::find(sequence.begin(), sequence.end(), step) - sequence.begin();
    };
    const std::pair<std::string_view, std::string_view> before[] = {
        {"hall-offsets", "phases"}, {"rl", "current"}, {"current", "speed"}, {"mass", "speed"}, {"speed", "position"}};
    for (const auto& [first, second] : before) {
        if (position(first) == std::ssize(sequence) || position(second) == std::ssize(sequence)) continue;
        EXPECT_LT(position(first), position(second)) << first << " before " << second;
    }
}

}  // namespace
