// A commissioning test run step by step by an edit script, with the drive `edit` connects.
#include "Commands.h"

#include "MC_Comm.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

TEST(EditScriptTestRun, TheDocumentedScriptRunsATestAndKeepsWhatItFound) {
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Load(PELMORA_PLUGIN_PATH)) << plugin.Error();
    const fs::path dir = fs::temp_directory_path() /
                         ("pelmora-edit-test-run-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::create_directories(dir);
    const std::string script = PELMORA_SOURCE_DIR "/docs/edit-script-test-example.txt";

    struct Case {
        const char* name;
        EditDrive drive;
        const char* waitLimit;  // replaces the script's wait, to make it give up; null: as written
        int exitCode;
        const char* said;  // in stderr
    };
    const Case cases[] = {
        {"with the simulated drive", {"", "sim"}, nullptr, 0, ""},
        // Without a drive the button is disabled: the script stops at it and nothing is saved.
        {"without a drive", {}, nullptr, 1, "\"Detect\""},
        {"a wait that gives up", {"", "sim"}, "1", 1, "still shows"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = script;
        if (c.waitLimit) {
            std::ifstream in(script);
            std::ostringstream text;
            text << in.rdbuf();
            std::string lines = text.str();
            const std::string wait = "wait until \"#10001\" \"Test succeeded\"";
            lines.replace(lines.find(wait), wait.size(), wait + " " + c.waitLimit);
            path = (dir / ("script" + std::to_string(n) + ".txt")).string();
            std::ofstream(path) << lines;
        }
        const std::string out = (dir / ("out" + std::to_string(n++) + ".json")).string();
        std::ostringstream printed;
        std::ostringstream err;
        EXPECT_EQ(RunEdit(CommandContext{printed, err, plugin}, {}, path, out, c.drive), c.exitCode) << err.str();
        EXPECT_NE(err.str().find(c.said), std::string::npos) << err.str();
        EXPECT_FALSE(CMC_Comm::IsConnected()) << "edit left a link behind";
        EXPECT_EQ(fs::exists(out), c.exitCode == 0);
        if (c.exitCode != 0) continue;
        SetupLoadResult saved = LoadSetupFile(out);
        ASSERT_TRUE(saved) << saved.error;
        EXPECT_NEAR(saved.setup->FindParameter("Vdc")->GetValueInBaseUnit(), 47.63, 0.01 + 1e-9);
    }
    fs::remove_all(dir);
}

}  // namespace
