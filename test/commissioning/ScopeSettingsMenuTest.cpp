// The scope settings a user edits, saves and loads from the tuning dialog's plot menu, on the
// simulated drive: what customises the scope, what OK keeps, and what a failed file leaves.
#include "SimTestRun.h"

#include "HeadlessScript.h"
#include "MC_PlotMenu.h"
#include "MC_ScopeSettingsDlg.h"
#include "TestSpeedTuning.h"
#include "TuningTestForm.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

using namespace pelmora;
using sim_testing::SimTestFixture;

namespace fs = std::filesystem;

constexpr const char* kOption = "SpeedTuningOscSettings";

class ScopeSettingsMenu : public SimTestFixture {
protected:
    void SetUp() override {
        SimTestFixture::SetUp();
        folder = fs::temp_directory_path() / ("pelmora-scope-menu-" + std::to_string(::getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override {
        fs::remove_all(folder);
        SimTestFixture::TearDown();
    }
    // Opens the speed tuning test, runs `act` in it, then OK or Cancel.
    void Open(const std::function<void(CTestSpeedTuning&)>& act, bool ok) {
        CTestSpeedTuning dialog(setup.get());
        ui->OnDialog(std::string(dialog.GetCaption()), [&](DialogDriver& d) {
            act(dialog);
            if (dialog.IsOpen()) d.Click(ok ? "OK" : "Cancel");
        });
        dialog.DoModal();
    }
    // The user's right click over the scope and the entry picked.
    static void Menu(CTestSpeedTuning& t, int command) { ASSERT_TRUE(UserPlotMenu(t, IDC_TT_SCOPE, command)); }

    fs::path folder;
};

TEST_F(ScopeSettingsMenu, AnEditThatChangedSomethingCustomisesTheScopeAndOkKeepsIt) {
    struct Case {
        const char* name;
        std::function<void(DialogDriver&)> edit;  // in the editor, which ends it
        bool customised;
        double window_s;  // the scope's window after the edit; 0: the default one
    };
    const Case cases[] = {
        {"new window, OK",
         [](DialogDriver& e) {
             ASSERT_TRUE(e.Type("Window", "0.4")) << e.Error();
             e.Click("OK");
         },
         true, 0.4},
        {"nothing changed, OK", [](DialogDriver& e) { e.Click("OK"); }, false, 0.0},
        {"new window, Cancel",
         [](DialogDriver& e) {
             ASSERT_TRUE(e.Type("Window", "0.4")) << e.Error();
             e.Click("Cancel");
         },
         false, 0.0},
    };
    for (const Case& c : cases) {
        Fresh();
        FreshSetup();
        bool customised = false;
        double defaultWindow_s = 0.0;
        double window_s = 0.0;
        Open([&](CTestSpeedTuning& t) {
            defaultWindow_s = t.GetScopeLogger()->GetWindow_s();
            ui->OnDialog("Scope settings", c.edit);
            Menu(t, ID_PLOT_SCOPE_SETTINGS);
            customised = t.IsScopeCustomised();
            window_s = t.GetScopeLogger()->GetWindow_s();
        }, true);
        EXPECT_EQ(customised, c.customised) << c.name;
        EXPECT_EQ(window_s, c.window_s != 0.0 ? c.window_s : defaultWindow_s) << c.name;
        const std::string option = setup->GetOptionNoError(kOption);
        EXPECT_EQ(!option.empty(), c.customised) << c.name;
        if (!option.empty()) {
            EXPECT_EQ(nlohmann::json::parse(option).at("window_s"), c.window_s) << c.name;
        }
        EXPECT_TRUE(ui->LeftOpen().empty()) << c.name;
    }
}

TEST_F(ScopeSettingsMenu, SettingsSavedFromOneDialogLoadIntoAnotherAsTheyWere) {
    const std::string path = (folder / "mine.scope.json").string();
    Fresh();
    CMC_ScopeLogger::Settings saved;
    Open([&](CTestSpeedTuning& t) {
        ui->OnDialog("Scope settings", [](DialogDriver& e) {
            ASSERT_TRUE(e.Type("Window", "0.3")) << e.Error();
            ASSERT_TRUE(e.Select("Mode", "Single shot")) << e.Error();
            ASSERT_TRUE(e.Type("Pre-trigger", "25")) << e.Error();
            ASSERT_TRUE(e.Type("Load_Speed/Per division", "0.125")) << e.Error();
            e.Click("OK");
        });
        Menu(t, ID_PLOT_SCOPE_SETTINGS);
        ui->QueueFileName(path);
        Menu(t, ID_PLOT_SAVE_SETTINGS);
        saved = t.GetScopeLogger()->GetSettings();
    }, false);
    ASSERT_TRUE(fs::exists(path));
    ASSERT_EQ(ui->FilePrompts().size(), 1U);
    EXPECT_FALSE(ui->FilePrompts()[0].open);
    EXPECT_TRUE(ui->FilePrompts()[0].preset.ends_with("/SpeedTuning.scope.json")) << ui->FilePrompts()[0].preset;
    EXPECT_EQ(setup->GetOptionNoError(kOption), "") << "Cancel keeps nothing in the setup";

    Fresh();
    bool before = true;
    bool after = false;
    CMC_ScopeLogger::Settings loaded;
    Open([&](CTestSpeedTuning& t) {
        before = t.IsScopeCustomised();
        ui->QueueFileName(path);
        Menu(t, ID_PLOT_LOAD_SETTINGS);
        after = t.IsScopeCustomised();
        loaded = t.GetScopeLogger()->GetSettings();
    }, true);
    EXPECT_FALSE(before);
    EXPECT_TRUE(after);
    EXPECT_TRUE(loaded == saved);
    EXPECT_EQ(loaded.window_s, 0.3);
    EXPECT_EQ(loaded.mode, CMC_ScopeLogger::Mode::SingleShot);
    ASSERT_TRUE(ui->FilePrompts().size() == 1U && ui->FilePrompts()[0].open);
    EXPECT_TRUE(ui->Messages().empty()) << ui->Messages().back().text;
    EXPECT_NE(setup->GetOptionNoError(kOption), "") << "OK keeps what was loaded";
}

TEST_F(ScopeSettingsMenu, TheGraphDrawsOneCurvePerVariableTheLoadedSettingsRecord) {
    const std::string full = (folder / "full.scope.json").string();
    Fresh();
    Open([&](CTestSpeedTuning& t) {
        ui->QueueFileName(full);
        Menu(t, ID_PLOT_SAVE_SETTINGS);
    }, false);
    nlohmann::json saved;
    std::ifstream(full) >> saved;
    ASSERT_EQ(saved["channels"].size(), 4U);
    // The curves a dialog draws: how many, and whether each reads a recorded column and the upper
    // area keeps the saved scale.
    const auto curvesOf = [](CTestSpeedTuning& t, std::size_t& count, bool& drawnAsSaved) {
        const CGraphFilter* filter = t.GetScopeLogger()->GetGraphDocument().GetAt(0);
        ASSERT_NE(filter, nullptr);
        count = filter->GetCurves().size();
        drawnAsSaved = filter->m_areaRanges.contains(1);
        for (const CXYCurve& curve : filter->GetCurves())
            drawnAsSaved = drawnAsSaved && curve.m_nYItem >= 1 && curve.m_nYItem <= t.GetScopeLogger()->GetVariablesNo();
    };
    for (const std::size_t kept : {std::size_t{1}, std::size_t{3}, std::size_t{4}}) {
        SCOPED_TRACE(std::to_string(kept) + " variables");
        nlohmann::json file = saved;
        file["channels"].erase(file["channels"].begin() + static_cast<std::ptrdiff_t>(kept), file["channels"].end());
        if (file["trigger"] != "" && kept < 4) file["trigger"] = file["channels"][0]["name"];
        const std::string path = (folder / ("kept" + std::to_string(kept) + ".scope.json")).string();
        std::ofstream(path) << file.dump();
        FreshSetup();
        Fresh();
        std::size_t loaded = 0, reopened = 0;
        bool loadedAsSaved = false, reopenedAsSaved = false;
        Open([&](CTestSpeedTuning& t) {
            ui->QueueFileName(path);
            Menu(t, ID_PLOT_LOAD_SETTINGS);
            curvesOf(t, loaded, loadedAsSaved);
        }, true);
        ASSERT_TRUE(ui->Messages().empty()) << ui->Messages().back().text;
        // OK kept the loaded settings in the setup; the next opening draws from them.
        Fresh();
        Open([&](CTestSpeedTuning& t) { curvesOf(t, reopened, reopenedAsSaved); }, false);
        EXPECT_EQ(loaded, kept);
        EXPECT_TRUE(loadedAsSaved);
        EXPECT_EQ(reopened, kept);
        EXPECT_TRUE(reopenedAsSaved);
    }
}

TEST_F(ScopeSettingsMenu, AFailedOrCancelledFileChangesNothingAndAFailureIsShown) {
    struct Case {
        const char* name;
        int command;
        std::function<std::optional<std::string>()> answer;  // empty: the prompt is cancelled
        bool warned;
    };
    const Case cases[] = {
        {"load cancelled", ID_PLOT_LOAD_SETTINGS, [] { return std::nullopt; }, false},
        {"save cancelled", ID_PLOT_SAVE_SETTINGS, [] { return std::nullopt; }, false},
        {"load of a missing file", ID_PLOT_LOAD_SETTINGS,
         [&] { return std::optional((folder / "missing.scope.json").string()); }, true},
        {"load of a damaged file", ID_PLOT_LOAD_SETTINGS,
         [&] {
             const std::string p = (folder / "damaged.scope.json").string();
             std::ofstream(p) << R"({"window_s": 0.5, "mode": 9})";
             return std::optional(p);
         },
         true},
        {"save into no folder", ID_PLOT_SAVE_SETTINGS,
         [&] { return std::optional((folder / "none" / "x.scope.json").string()); }, true},
    };
    for (const Case& c : cases) {
        Fresh();
        FreshSetup();
        bool customised = true;
        bool same = false;
        const auto answer = c.answer();
        Open([&](CTestSpeedTuning& t) {
            const CMC_ScopeLogger::Settings before = t.GetScopeLogger()->GetSettings();
            if (answer) ui->QueueFileName(*answer);
            Menu(t, c.command);
            customised = t.IsScopeCustomised();
            same = t.GetScopeLogger()->GetSettings() == before;
        }, true);
        EXPECT_FALSE(customised) << c.name;
        EXPECT_TRUE(same) << c.name;
        EXPECT_EQ(setup->GetOptionNoError(kOption), "") << c.name;
        ASSERT_EQ(ui->Messages().size(), c.warned ? 1U : 0U) << c.name;
        if (c.warned) {
            EXPECT_EQ(ui->Messages()[0].kind, MessageBoxKind::Warning) << c.name;
            EXPECT_NE(ui->Messages()[0].text.find(*answer), std::string::npos) << c.name << ": " << ui->Messages()[0].text;
        }
    }
}

TEST_F(ScopeSettingsMenu, AScriptOpensTheMenuAndAnswersTheFilePrompt) {
    const std::string path = (folder / "scripted.scope.json").string();
    Fresh();
    HeadlessScript script;
    ASSERT_TRUE(script.Parse("dialog \"Speed Controller Tuning Test\"\n"
                             "menu #" + std::to_string(IDC_TT_SCOPE) + " \"Scope settings\"\n"
                             "dialog \"Scope settings\"\n"
                             "set Window 0.35\n"
                             "click OK\n"
                             "file \"" + path + "\"\n"
                             "menu #" + std::to_string(IDC_TT_SCOPE) + " \"save settings...\"\n"
                             "expect no message\n"
                             "click Cancel\n"))
        << script.Error();
    std::ostringstream out;
    script.Attach(*ui, *setup, out);
    CTestSpeedTuning dialog(setup.get());
    dialog.DoModal();
    EXPECT_TRUE(script.Succeeded()) << script.Error();
    EXPECT_TRUE(script.Finished());
    CMC_ScopeLogger check(setup.get(), nullptr);
    ASSERT_EQ(check.Load(path), 1) << check.GetErrorText();
    EXPECT_EQ(check.GetWindow_s(), 0.35);

    HeadlessScript wrong;
    ASSERT_TRUE(wrong.Parse("menu #" + std::to_string(IDC_TT_SCOPE) + " Zoom\n")) << wrong.Error();
    Fresh();
    wrong.Attach(*ui, *setup, out);
    CTestSpeedTuning other(setup.get());
    other.DoModal();
    EXPECT_NE(wrong.Error().find("the plot menu has no entry \"Zoom\""), std::string::npos) << wrong.Error();
}

}  // namespace
