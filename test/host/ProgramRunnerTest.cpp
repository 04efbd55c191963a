#include "FakeDrive.h"

#include "BaseQuantities.h"
#include "MC_CoffFormat.h"
#include "MC_Loggers.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

using namespace host_testing;

namespace {

constexpr const char* kPositioning = "Initial_Positioning_Test";
constexpr const char* kSpeedTuning = "Speed_Controller_Tuning_Test";

class ProgramRunner : public FakeDriveTest {
protected:
    void SetUp() override {
        FakeDriveTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(positioning.ReadCoff(GetOutPathName(kPositioning))) << positioning.GetErrorText();
        ASSERT_TRUE(speed.ReadCoff(GetOutPathName(kSpeedTuning))) << speed.GetErrorText();
    }

    int Execute(const char* name, CMC_CoffFormat* program, CMC_Logger* logger = nullptr) {
        return CMC_ProgramRunner::ExecuteCode(*setup, name, program, logger, error);
    }

    CMC_CoffFormat positioning;
    CMC_CoffFormat speed;
    std::string error;
};

TEST_F(ProgramRunner, EveryProgramImageLoadsFromTheProgramDirectory) {
    for (const char* name : {"Initial_Positioning_Test", "Detect_Hall_Gain_Offset_Test", "Motor_Phase_Connection_Test",
                             "Ident_R_or_Rs", "Ident_L_or_Tau_el", "Current_Controller_Tuning_Test", "VDC_Detection_Test",
                             "Analogue_Reference_Test", "Total_Mass_Identification_Test", "Speed_Controller_Tuning_Test",
                             "Position_Controller_Tuning_Test_with_SpdCtrl",
                             "Position_Controller_Tuning_Test_without_SpdCtrl"}) {
        CMC_CoffFormat image;
        EXPECT_TRUE(image.ReadCoff(GetOutPathName(name))) << name << ": " << image.GetErrorText();
        EXPECT_EQ(image.GetProgramName(), name);
    }
}

TEST_F(ProgramRunner, ProgramNamesThatCouldLeaveTheProgramDirectoryHaveNoPath) {
    for (const char* name : {"", "../Initial_Positioning_Test", "a/b", "x.json", "P 1"}) {
        EXPECT_EQ(GetOutPathName(name), "") << "\"" << name << "\"";
        EXPECT_EQ(Execute(name, nullptr), 0) << "\"" << name << "\"";
        EXPECT_FALSE(error.empty()) << name;
    }
    EXPECT_TRUE(drive.requests.empty());
}

TEST_F(ProgramRunner, ExecuteCodeStopsDownloadsRegistersAsOneBlockThenTheProgramAndStarts) {
    ASSERT_TRUE(CMC_ProgramRunner::SetUserVariableValue(&positioning, "In1", 5115, error)) << error;
    const double before_s = ui.Now_s();
    ASSERT_EQ(Execute(kPositioning, &positioning), 1) << error;

    std::vector<drivesim::Op> ops;
    for (const auto& r : drive.requests) ops.push_back(r.op);
    const std::vector<drivesim::Op> expected = {drivesim::Op::Stop, drivesim::Op::WriteRegisters, drivesim::Op::Download,
                                                drivesim::Op::Start};
    EXPECT_EQ(ops, expected);
    std::size_t registers = 0;
    for (const auto& p : setup->GetParameters()) registers += p->GetKind() == ParameterKind::Register ? 1 : 0;
    EXPECT_EQ(drive.requests[1].registers.size(), registers);
    EXPECT_EQ(drive.registers.at("PWMPER"), setup->GetParameterValueInBaseUnit("PWMPER"));
    EXPECT_EQ(drive.program, kPositioning);
    EXPECT_EQ(drive.programVariables.at("In1"), 5115);
    EXPECT_EQ(drive.programVariables.at("STARTED"), 0);
    EXPECT_NEAR(ui.Now_s() - before_s, kExecuteCodeCost_s, 1e-12);
    // The drive's clock stamps never go back, and the start is the last of them.
    for (std::size_t i = 1; i < drive.requests.size(); ++i)
        EXPECT_GE(drive.requests[i].time_s, drive.requests[i - 1].time_s) << "request " << i;
}

TEST_F(ProgramRunner, PresetsReachOneDownloadOnlyThenTheInitialValuesAgain) {
    ASSERT_TRUE(CMC_ProgramRunner::SetUserVariableValue(&speed, "test_flag", 0, error)) << error;
    ASSERT_EQ(Execute(kSpeedTuning, &speed), 1) << error;
    EXPECT_EQ(drive.programVariables.at("test_flag"), 0);
    ASSERT_EQ(Execute(kSpeedTuning, &speed), 1) << error;
    EXPECT_EQ(drive.programVariables.at("test_flag"), 1) << "a stale preset survived a download";
    EXPECT_EQ(drive.programVariables.at("STARTED"), 0);
}

TEST_F(ProgramRunner, ExecuteCodeFailsWithAReasonAndStartsNothing) {
    struct Case {
        const char* what;
        const char* name;
        std::function<void(FakeDriveState&)> inject;
        const char* textHas;
    };
    const Case cases[] = {
        {"unknown program", "No_Such_Test", nullptr, "cannot be loaded"},
        {"refused register", kPositioning, [](FakeDriveState& d) { d.failingOps.insert(drivesim::Op::WriteRegisters); },
         "refused the setup's registers"},
        {"link fails on stop", kPositioning, [](FakeDriveState& d) { d.failingOps.insert(drivesim::Op::Stop); },
         "injected failure"},
        {"link fails on download", kPositioning, [](FakeDriveState& d) { d.failingOps.insert(drivesim::Op::Download); },
         "not downloaded"},
        {"link fails on start", kPositioning, [](FakeDriveState& d) { d.failingOps.insert(drivesim::Op::Start); },
         "not started"},
    };
    for (const Case& c : cases) {
        drive.failingOps.clear();
        drive.requests.clear();
        if (c.inject) c.inject(drive);
        CMC_CoffFormat* image = std::string(c.name) == kPositioning ? &positioning : nullptr;
        EXPECT_EQ(Execute(c.name, image), 0) << c.what;
        EXPECT_NE(error.find(c.textHas), std::string::npos) << c.what << ": " << error;
        EXPECT_FALSE(drive.startedAt_s.has_value()) << c.what;
    }
}

TEST_F(ProgramRunner, ExecuteCodeWithoutAProgramObjectLoadsTheImageByName) {
    ASSERT_EQ(Execute("Analogue_Reference_Test", nullptr), 1) << error;
    EXPECT_EQ(drive.program, "Analogue_Reference_Test");
    ASSERT_NE(CMC_ProgramRunner::CurrentProgram(), nullptr);
    EXPECT_EQ(CMC_ProgramRunner::CurrentProgram()->GetProgramName(), "Analogue_Reference_Test");
}

TEST_F(ProgramRunner, ExecuteCodeRefusesAnImageOfAnotherProgram) {
    EXPECT_EQ(Execute(kSpeedTuning, &positioning), 0);
    EXPECT_NE(error.find("holds program Initial_Positioning_Test"), std::string::npos) << error;
}

TEST_F(ProgramRunner, SetUserVariableValueRoundsIntoTheDeclaredTypeOrRefuses) {
    struct Case {
        const char* variable;
        double value;
        std::optional<double> raw;  // empty: refused
    };
    const double nan = std::nan("");
    const Case cases[] = {
        {"RefTest", 2.5, 3},           {"RefTest", -2.5, -3},         {"RefTest", 32767.4, 32767},
        {"RefTest", 32767.5, {}},      {"RefTest", -32768.4, -32768}, {"RefTest", -32768.6, {}},
        {"a0", 4294967295.0, 4294967295.0}, {"a0", -0.6, {}},         {"a0", 4294967295.5, {}},
        {"b0", 1.5, 98304},            {"b0", -0.00001, -1},          {"b0", 32768.0, {}},
        {"b0", -32768.0, -2147483648.0}, {"RefTest", nan, {}},        {"RefTest", HUGE_VAL, {}},
        {"NoSuchVariable", 1, {}},
    };
    for (const Case& c : cases) {
        error.clear();
        const int ok = CMC_ProgramRunner::SetUserVariableValue(&speed, c.variable, c.value, error);
        EXPECT_EQ(ok, c.raw ? 1 : 0) << c.variable << " = " << c.value << ": " << error;
        if (!c.raw) {
            EXPECT_FALSE(error.empty()) << c.variable << " = " << c.value;
            continue;
        }
        ASSERT_EQ(Execute(kSpeedTuning, &speed), 1) << error;
        EXPECT_EQ(drive.programVariables.at(c.variable), *c.raw) << c.variable << " = " << c.value;
    }
}

TEST_F(ProgramRunner, GetUserVariableValueTellsUndeclaredNeverDownloadedLiveAndReplaced) {
    double value = 0.0;
    EXPECT_EQ(CMC_ProgramRunner::GetUserVariableValue(&speed, "Nope", value, error), 0);
    EXPECT_NE(error.find("Nope"), std::string::npos) << error;

    EXPECT_EQ(CMC_ProgramRunner::GetUserVariableValue(&speed, "STARTED", value, error), 1) << error;
    EXPECT_EQ(value, kNoValue) << "never downloaded";

    ASSERT_EQ(Execute(kSpeedTuning, &speed), 1) << error;
    EXPECT_EQ(CMC_ProgramRunner::GetUserVariableValue(&speed, "STARTED", value, error), 1) << error;
    EXPECT_EQ(value, 0) << "just downloaded";
    drive.programVariables["b2"] = 98304;  // 1.5 in 16.16
    const std::size_t reads = drive.Count(drivesim::Op::ReadProgramVariable);
    EXPECT_EQ(CMC_ProgramRunner::GetUserVariableValue(&speed, "b2", value, error), 1) << error;
    EXPECT_EQ(value, 1.5);
    EXPECT_EQ(drive.Count(drivesim::Op::ReadProgramVariable), reads + 1) << "a live value is one transaction";

    ui.Advance(0.2);  // the fake program has set STARTED
    ASSERT_EQ(Execute(kPositioning, &positioning), 1) << error;
    drive.programVariables["STARTED"] = 0;
    EXPECT_EQ(CMC_ProgramRunner::GetUserVariableValue(&speed, "STARTED", value, error), 1) << error;
    EXPECT_EQ(value, 1) << "the value when the program was replaced";
    EXPECT_EQ(CMC_ProgramRunner::GetUserVariableValue(&speed, "b2", value, error), 1) << error;
    EXPECT_EQ(value, 1.5);
}

TEST_F(ProgramRunner, SettingAVariableOfTheCurrentProgramWritesItLive) {
    ASSERT_EQ(Execute(kSpeedTuning, &speed), 1) << error;
    ASSERT_EQ(CMC_ProgramRunner::SetUserVariableValue(&speed, "MultiC", 0, error), 1) << error;
    EXPECT_EQ(drive.Count(drivesim::Op::WriteProgramVariable), 1U);
    EXPECT_EQ(drive.programVariables.at("MultiC"), 0);
    ASSERT_EQ(CMC_ProgramRunner::SetUserVariableValue(&positioning, "In1", 10, error), 1) << error;
    EXPECT_EQ(drive.Count(drivesim::Op::WriteProgramVariable), 1U) << "not the current program: preset only";

    drive.failingOps.insert(drivesim::Op::WriteProgramVariable);
    EXPECT_EQ(CMC_ProgramRunner::SetUserVariableValue(&speed, "MultiC", 1, error), 0);
    EXPECT_NE(error.find("injected failure"), std::string::npos) << error;
}

TEST_F(ProgramRunner, AVariableReadFailsWithTheLinksReason) {
    ASSERT_EQ(Execute(kSpeedTuning, &speed), 1) << error;
    drive.failingOps.insert(drivesim::Op::ReadProgramVariable);
    double value = 0.0;
    EXPECT_EQ(CMC_ProgramRunner::GetUserVariableValue(&speed, "STARTED", value, error), 0);
    EXPECT_NE(std::string(CMC_Comm::GetLastErrorText()).find("injected failure"), std::string::npos)
        << CMC_Comm::GetLastErrorText();
}

TEST_F(ProgramRunner, AnImageThatGoesAwayIsNoLongerCurrent) {
    {
        CMC_CoffFormat temporary;
        ASSERT_TRUE(temporary.ReadCoff(GetOutPathName(kPositioning)));
        ASSERT_EQ(Execute(kPositioning, &temporary), 1) << error;
        EXPECT_EQ(CMC_ProgramRunner::CurrentProgram(), &temporary);
    }
    EXPECT_EQ(CMC_ProgramRunner::CurrentProgram(), nullptr);
    ASSERT_EQ(Execute(kSpeedTuning, &speed), 1) << error;  // must not touch the dead image
}

TEST_F(ProgramRunner, MalformedImagesAreRefusedSayingWhereAndKeepNothing) {
    const auto dir = std::filesystem::temp_directory_path() / "pelmora_host_images";
    std::filesystem::create_directories(dir);
    struct Case {
        const char* json;
        const char* textHas;
    };
    const Case cases[] = {
        {"{", "not valid JSON"},
        {R"({"variables": []})", "\"program\""},
        {R"({"program": "../x", "variables": []})", "plain program name"},
        {R"({"program": "P", "variables": {}})", "\"variables\""},
        {R"({"program": "P", "variables": [{"type": "int16"}]})", "variables[0].name"},
        {R"({"program": "P", "variables": [{"name": "A", "type": "int8"}]})", "variables[0].type"},
        {R"({"program": "P", "variables": [{"name": "A", "type": "int16", "init": 40000}]})", "variables[0].init"},
        {R"({"program": "P", "variables": [{"name": "A", "type": "int16"}, {"name": "a", "type": "int16"}]})",
         "declared twice"},
    };
    for (const Case& c : cases) {
        const auto path = dir / "image.json";
        std::ofstream(path) << c.json;
        CMC_CoffFormat image;
        EXPECT_EQ(image.ReadCoff(path.string()), 0) << c.json;
        EXPECT_NE(image.GetErrorText().find(c.textHas), std::string::npos) << c.json << ": " << image.GetErrorText();
        EXPECT_NE(image.GetErrorText().find(path.string()), std::string::npos) << c.json;
        EXPECT_FALSE(image.IsLoaded()) << c.json;
        EXPECT_TRUE(image.GetVariables().empty()) << c.json;
    }
    std::filesystem::remove_all(dir);
}

TEST_F(ProgramRunner, AxisStateIsOneTransaction) {
    int on = -1;
    ASSERT_EQ(CMC_ProgramRunner::GetAxisOn(on, error), 1) << error;
    EXPECT_EQ(on, 0);
    ASSERT_EQ(Execute(kPositioning, &positioning), 1) << error;
    ui.Advance(0.2);
    ASSERT_EQ(CMC_ProgramRunner::GetAxisOn(on, error), 1) << error;
    EXPECT_EQ(on, 1);
    drive.failingOps.insert(drivesim::Op::AxisOn);
    EXPECT_EQ(CMC_ProgramRunner::GetAxisOn(on, error), 0);
    EXPECT_NE(error.find("injected failure"), std::string::npos) << error;
}

}  // namespace
