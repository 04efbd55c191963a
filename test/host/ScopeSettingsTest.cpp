// The scope's settings as the user keeps and edits them: files that load back exactly, files
// that are refused without a change, and the settings editor's checks.
#include "TuningScope.h"
#include "BaseQuantities.h"
#include "HeadlessUi.h"
#include "MC_Loggers.h"
#include "MC_ScopeSettingsDlg.h"
#include "MC_SetupFile.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class ScopeSettings : public ::testing::Test {
protected:
    void SetUp() override {
        SetUiBackend(&ui);
        MakeTuningScope(setup, scope);
        if (HasFatalFailure()) return;
        ASSERT_EQ(scope->ChangeSettings(0.6, 2, 0, "Load_Speed", -0.25, 20), 1) << scope->GetErrorText();
        ASSERT_EQ(scope->RescaleVariable("Load_Speed", "mm/s", 50, -200), 1);
        ASSERT_EQ(scope->RescaleVariable("Motor_Current", "A", 0.5, -1), 1);
        folder = fs::temp_directory_path() / ("pelmora-scope-" + std::to_string(::getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override {
        SetUiBackend(nullptr);
        fs::remove_all(folder);
    }
    std::string Write(const std::string& name, const std::string& text) const {
        const std::string path = (folder / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string SavedText() {
        const std::string path = (folder / "saved.scope.json").string();
        EXPECT_EQ(scope->Save(path), 1) << scope->GetErrorText();
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Opens the editor, runs `act` in it, and returns what Edit returned.
    int Edit(const std::function<void(DialogDriver&)>& act) {
        ui.OnDialog("Scope settings", [&](DialogDriver& d) {
            act(d);
            if (d.Dialog().IsOpen()) d.Click("Cancel");
        });
        return scope->Edit();
    }

    HeadlessUi ui;
    std::unique_ptr<CMC_Setup> setup;
    std::unique_ptr<CMC_ScopeLogger> scope;
    fs::path folder;
};

TEST_F(ScopeSettings, ASavedFileLoadsBackIntoAnotherScopeAsItWas) {
    const std::string path = (folder / "speed.scope.json").string();
    ASSERT_EQ(scope->Save(path), 1) << scope->GetErrorText();
    // Saved again over itself: replaced atomically, no temporary left beside it.
    ASSERT_EQ(scope->Save(path), 1) << scope->GetErrorText();
    int files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++files;
    EXPECT_EQ(files, 1);

    CMC_ScopeLogger other(setup.get(), nullptr);
    ASSERT_EQ(other.Load(path), 1) << other.GetErrorText();
    EXPECT_TRUE(other.GetSettings() == scope->GetSettings());
    EXPECT_EQ(other.GetPointsNo(), scope->GetPointsNo());
    EXPECT_EQ(other.GetSampleDivider(), scope->GetSampleDivider());
    ASSERT_EQ(other.GetVariablesNo(), 4);
    EXPECT_EQ(other.GetItems()[1].name, "Load_Speed");
    // The same text the setup option keeps.
    ASSERT_EQ(scope->SaveSettingsToSetupOption("SpeedTuningOscSettings"), 1);
    EXPECT_EQ(nlohmann::json::parse(setup->GetOptionNoError("SpeedTuningOscSettings")),
              nlohmann::json::parse(std::ifstream(path)));
}

TEST_F(ScopeSettings, ARefusedFileChangesNothingAndSaysWhatAndWhere) {
    const nlohmann::json good = nlohmann::json::parse(SavedText());
    struct Case {
        const char* name;
        std::function<std::string()> file;  // the path to load
        std::string says;
    };
    auto edited = [&](const char* name, const std::function<void(nlohmann::json&)>& change) {
        return [this, good, name, change] {
            nlohmann::json doc = good;
            change(doc);
            return Write(std::string(name) + ".scope.json", doc.dump());
        };
    };
    const Case cases[] = {
        {"missing file", [&] { return (folder / "nowhere.scope.json").string(); }, "cannot be read"},
        {"a folder", [&] { return folder.string(); }, "is a folder"},
        {"empty", [&] { return Write("empty", ""); }, "not JSON"},
        {"cut short", [&] { return Write("short", good.dump().substr(0, 40)); }, "not JSON"},
        {"a list", [&] { return Write("list", "[1, 2]"); }, "not a JSON object"},
        {"no window", edited("a", [](auto& d) { d.erase("window_s"); }), "window_s: missing"},
        {"window as text", edited("b", [](auto& d) { d["window_s"] = "0.6"; }), "window_s: not a number"},
        {"window zero", edited("c", [](auto& d) { d["window_s"] = 0; }), "window_s: must be a positive time"},
        {"window far too long", edited("d", [](auto& d) { d["window_s"] = 1e9; }), "window_s: too short or too long"},
        {"mode 3", edited("e", [](auto& d) { d["mode"] = 3; }), "mode: must be 1"},
        {"mode a fraction", edited("f", [](auto& d) { d["mode"] = 2.5; }), "mode: not a whole number"},
        {"no slope", edited("g", [](auto& d) { d.erase("slope"); }), "slope: missing"},
        {"pre-trigger 150", edited("h", [](auto& d) { d["pretrigger_pct"] = 150; }), "pretrigger_pct: must lie"},
        {"unknown trigger", edited("i", [](auto& d) { d["trigger"] = "Nope"; }), "trigger: \"Nope\" is not"},
        {"no channels", edited("j", [](auto& d) { d.erase("channels"); }), "channels: missing"},
        {"empty channels", edited("k", [](auto& d) { d["channels"] = nlohmann::json::array(); }),
         "channels: no variable"},
        {"unknown variable", edited("l", [](auto& d) { d["channels"][2]["name"] = "Nope"; }),
         "channels[2].name: the setup declares no drive variable \"Nope\""},
        {"variable twice", edited("m", [](auto& d) { d["channels"][3]["name"] = "load_speed"; }),
         "channels[3].name: \"load_speed\" is plotted twice"},
        {"step zero", edited("n", [](auto& d) { d["channels"][1]["step"] = 0; }), "channels[1].step: must be a positive"},
        {"no offset", edited("o", [](auto& d) { d["channels"][0].erase("offset"); }), "channels[0].offset: missing"},
        {"unit a number", edited("p", [](auto& d) { d["channels"][0]["unit"] = 5; }), "channels[0].unit: not a text"},
    };
    const CMC_ScopeLogger::Settings before = scope->GetSettings();
    const int points = scope->GetPointsNo();
    for (const Case& c : cases) {
        const std::string path = c.file();
        EXPECT_EQ(scope->Load(path), 0) << c.name;
        const std::string& error = scope->GetErrorText();
        EXPECT_EQ(error.rfind(path + ": ", 0), 0U) << c.name << ": " << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
        EXPECT_TRUE(scope->GetSettings() == before) << c.name;
        EXPECT_EQ(scope->GetPointsNo(), points) << c.name;
    }
}

TEST_F(ScopeSettings, ASaveThatCannotBeWrittenSaysWhereAndLeavesNoFile) {
    const std::string path = (folder / "no-such-folder" / "x.scope.json").string();
    EXPECT_EQ(scope->Save(path), 0);
    EXPECT_NE(scope->GetErrorText().find(path), std::string::npos) << scope->GetErrorText();
    EXPECT_FALSE(fs::exists(path));
    // The data logger has no settings files.
    CMC_SingleAxisLogger logger(setup.get());
    EXPECT_EQ(logger.Save((folder / "log.json").string()), 0);
    EXPECT_EQ(logger.Load(Write("log.json", SavedText())), 0);
    EXPECT_NE(logger.GetErrorText().find("no settings"), std::string::npos) << logger.GetErrorText();
}

TEST_F(ScopeSettings, TheEditorRefusesAFieldItCannotTakeNamesItAndChangesNothing) {
    struct Case {
        const char* field;  // as a script names it
        const char* typed;
        const char* says;
    };
    const Case cases[] = {
        {"Window", "abc", "Window: \"abc\" is not a number"},
        {"Window", "", "Window: \"\" is not a number"},
        {"Window", "0", "Window: must be a positive time"},
        {"Window", "-0.5", "Window: must be a positive time"},
        {"Window", "1e400", "Window:"},
        {"Window", "5 ms", "Window: give the value in s"},
        {"Window", "1e9", "Window: too short or too long"},
        {"Level", "x1", "Level: \"x1\" is not a number"},
        {"Pre-trigger", "150", "Pre-trigger: must lie between 0 and 100 %"},
        {"Pre-trigger", "-1", "Pre-trigger: must lie between 0 and 100 %"},
        {"Load_Speed/Per division", "0", "Load_Speed, per division: must be a positive number"},
        {"Load_Speed/Per division", "-50", "Load_Speed, per division: must be a positive number"},
        {"Motor_Current/Offset", "one", "Motor_Current, offset: \"one\" is not a number"},
    };
    const CMC_ScopeLogger::Settings before = scope->GetSettings();
    for (const Case& c : cases) {
        bool stayedOpen = false;
        const std::size_t shown = ui.Messages().size();
        const int changed = Edit([&](DialogDriver& d) {
            ASSERT_TRUE(d.Type(c.field, c.typed)) << d.Error();
            d.Click("OK");
            stayedOpen = d.Dialog().IsOpen();
        });
        const std::string name = std::string(c.field) + " = \"" + c.typed + "\"";
        EXPECT_TRUE(stayedOpen) << name;
        EXPECT_EQ(changed, 0) << name;
        ASSERT_EQ(ui.Messages().size(), shown + 1) << name;
        EXPECT_EQ(ui.Messages().back().kind, MessageBoxKind::Warning) << name;
        EXPECT_NE(ui.Messages().back().text.find(c.says), std::string::npos) << name << ": " << ui.Messages().back().text;
        EXPECT_TRUE(scope->GetSettings() == before) << name;
    }
}

TEST_F(ScopeSettings, ATriggeredModeWithoutATriggerVariableIsRefused) {
    const CMC_ScopeLogger::Settings before = scope->GetSettings();
    bool stayedOpen = false;
    EXPECT_EQ(Edit([&](DialogDriver& d) {
                  ASSERT_TRUE(d.Select("Variable", "(none)")) << d.Error();
                  d.Click("OK");
                  stayedOpen = d.Dialog().IsOpen();
              }),
              0);
    EXPECT_TRUE(stayedOpen);
    ASSERT_FALSE(ui.Messages().empty());
    EXPECT_EQ(ui.Messages().back().text, "Trigger variable: a triggered mode needs one");
    EXPECT_TRUE(scope->GetSettings() == before);
}

TEST_F(ScopeSettings, OkReportsAChangeOnlyWhenItMadeOne) {
    const double perMetre = 1000.0;  // mm/s in m/s
    struct Case {
        const char* name;
        std::function<void(DialogDriver&)> act;
        bool ok;
        int returned;
        std::function<bool(const CMC_ScopeLogger&)> holds;
    };
    const Case cases[] = {
        {"nothing touched", [](DialogDriver&) {}, true, 0, [](const CMC_ScopeLogger&) { return true; }},
        {"retyped the same", [](DialogDriver& d) { d.Type("Window", "0.6"); }, true, 0,
         [](const CMC_ScopeLogger& s) { return s.GetWindow_s() == 0.6; }},
        {"window", [](DialogDriver& d) { d.Type("Window", "0.25"); }, true, 1,
         [](const CMC_ScopeLogger& s) { return s.GetWindow_s() == 0.25 && s.GetPointsNo() == 500; }},
        {"window, then Cancel", [](DialogDriver& d) { d.Type("Window", "0.25"); }, false, 0,
         [](const CMC_ScopeLogger& s) { return s.GetWindow_s() == 0.6; }},
        {"single shot", [](DialogDriver& d) { d.Select("Mode", "Single shot"); }, true, 1,
         [](const CMC_ScopeLogger& s) { return s.GetMode() == 4; }},
        {"free running drops the trigger", [](DialogDriver& d) { d.Select("Mode", "Free running"); }, true, 1,
         [](const CMC_ScopeLogger& s) { return s.GetMode() == 1 && s.GetSettings().trigger.empty(); }},
        {"rising slope", [](DialogDriver& d) { d.Select("Slope", "Rising"); }, true, 1,
         [](const CMC_ScopeLogger& s) { return s.GetSettings().slope == 1; }},
        {"trigger variable", [](DialogDriver& d) { d.Select("Variable", "Speed_Reference"); }, true, 1,
         [](const CMC_ScopeLogger& s) { return s.GetSettings().trigger == "Speed_Reference"; }},
        {"step", [](DialogDriver& d) { d.Type("Load_Speed/Per division", "20"); }, true, 1,
         [](const CMC_ScopeLogger& s) { return s.GetChannelScale(1)->step == 20.0 && s.GetChannelScale(1)->offset == -200.0; }},
        {"unit converts what is on show", [](DialogDriver& d) { d.ChooseUnit("Load_Speed/Per division", "m/s"); }, true, 1,
         [=](const CMC_ScopeLogger& s) {
             const auto* scale = s.GetChannelScale(1);
             return scale->unit == "m/s" && std::abs(scale->step - 50.0 / perMetre) < 1e-15 &&
                    std::abs(scale->offset + 200.0 / perMetre) < 1e-15;
         }},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(scope->ChangeSettings(0.6, 2, 0, "Load_Speed", -0.25, 20), 1);
        ASSERT_EQ(scope->RescaleVariable("Load_Speed", "mm/s", 50, -200), 1);
        const std::size_t shown = ui.Messages().size();
        const int returned = Edit([&](DialogDriver& d) {
            c.act(d);
            d.Click(c.ok ? "OK" : "Cancel");
            EXPECT_FALSE(d.Dialog().IsOpen()) << c.name;
        });
        EXPECT_EQ(returned, c.returned) << c.name;
        EXPECT_EQ(ui.Messages().size(), shown) << c.name << ": " << ui.Messages().back().text;
        EXPECT_TRUE(c.holds(*scope)) << c.name;
    }
}

TEST_F(ScopeSettings, TheLevelIsTypedInTheTriggerVariablesUnitOnShow) {
    struct Case {
        const char* unit;
        const char* typed;
        double base;
    };
    const Case cases[] = {{"m/s", "0.5", 0.5}, {"mm/s", "-300", -0.3}, {"mm/s", "40 mm/s", 0.04}};
    for (const Case& c : cases) {
        ASSERT_TRUE(setup->FindVariable("Load_Speed", 1)->ChangeUnit(c.unit));
        std::string shownUnit;
        std::string shownLevel;
        EXPECT_EQ(Edit([&](DialogDriver& d) {
                      shownUnit = d.Dialog().GetChildText(IDC_SCOPE_LEVEL_UNIT);
                      shownLevel = d.Dialog().GetChildText(IDC_SCOPE_LEVEL);
                      ASSERT_TRUE(d.Type("Level", c.typed)) << d.Error();
                      d.Click("OK");
                  }),
                  1)
            << c.unit << " " << c.typed;
        EXPECT_EQ(shownUnit, std::string("(") + c.unit + ")");
        EXPECT_NEAR(scope->GetSettings().level, c.base, 1e-12) << c.unit << " " << c.typed;
        ASSERT_EQ(scope->ChangeSettings(0.6, 2, 0, "Load_Speed", -0.25, 20), 1);
        EXPECT_NEAR(std::stod(shownLevel) * (std::string(c.unit) == "mm/s" ? 1e-3 : 1.0), -0.25, 1e-15) << shownLevel;
    }
}

}  // namespace

namespace {

// The graph draws each area over its first curve's scale, in the values the graph holds (the
// variables' base units), whichever unit the scale was given in.
TEST_F(ScopeSettings, EachGraphAreaSpansItsChannelScaleInTheGraphsUnit) {
    CGraphFilter& filter = *scope->GetGraphDocument().GetAt(0);
    // Speed pair above, current pair below, as the tuning tests draw them.
    for (const auto& [area, item] : {std::pair{1, 1}, {1, 2}, {2, 3}, {2, 4}}) filter.Add(CXYCurve(area, item, RGB16(2)));
    struct Case {
        const char* what;
        std::function<int()> act;
        std::optional<GraphRange> upper, lower;
    };
    const Case cases[] = {
        {"speed in m/s", [&] { return scope->RescaleVariable("Speed_Reference", "m/s", 0.1, -0.4); },
         GraphRange{-0.4, 0.4}, GraphRange{-1, 3}},
        {"speed in mm/s, converted", [&] { return scope->RescaleVariable("Speed_Reference", "mm/s", 100, -400); },
         GraphRange{-0.4, 0.4}, GraphRange{-1, 3}},
        {"a coarser step keeps the middle", [&] { return scope->ChangeChannelScale(0, 1); }, GraphRange{-0.8, 0.8},
         GraphRange{-1, 3}},
        {"defaults fit the data again", [&] { scope->SetDefaultValues(); return 1; }, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.act(), 1) << c.what << ": " << scope->GetErrorText();
        for (const auto& [area, expected] : {std::pair{1, c.upper}, {2, c.lower}}) {
            const auto shown = filter.m_areaRanges.find(area);
            ASSERT_EQ(shown != filter.m_areaRanges.end(), expected.has_value()) << c.what << ", area " << area;
            if (!expected) continue;
            EXPECT_NEAR(shown->second.min, expected->min, 1e-9) << c.what << ", area " << area;
            EXPECT_NEAR(shown->second.max, expected->max, 1e-9) << c.what << ", area " << area;
        }
    }
}

}  // namespace
