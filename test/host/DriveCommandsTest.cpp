#include "FakeDrive.h"

#include "DriveCommands.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace host_testing;

namespace {

class DriveCommand : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(plugin.Load(PELMORA_PLUGIN_PATH)) << plugin.Error(); }

    int Run(DriveArguments a) {
        out.str({});
        err.str({});
        const CommandContext ctx{out, err, plugin};
        return RunDrive(ctx, a);
    }

    PluginLibrary plugin;
    std::ostringstream out;
    std::ostringstream err;
};

DriveArguments Args(const char* action, std::vector<std::string> args) {
    DriveArguments a;
    a.action = action;
    a.args = std::move(args);
    return a;
}

TEST_F(DriveCommand, ReadPrintsDriveVariablesInTheirUnits) {
    EXPECT_EQ(Run(Args("read", {"MER", "AD5"})), 0) << err.str();
    EXPECT_NE(out.str().find("MER = "), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("AD5 = "), std::string::npos) << out.str();
    EXPECT_NE(out.str().find(" V ("), std::string::npos) << "AD5 in volts: " << out.str();
    EXPECT_FALSE(CMC_Comm::IsConnected()) << "the command leaves no link behind";
}

TEST_F(DriveCommand, BadArgumentsFailWithTheirReasonAndExitCode) {
    struct Case {
        DriveArguments args;
        int code;
        const char* errHas;
    };
    DriveArguments tcp = Args("read", {"MER"});
    tcp.drive = "tcp:127.0.0.1:1";
    DriveArguments csvWithoutLog = Args("run", {"Initial_Positioning_Test"});
    csvWithoutLog.csvPath = "x.csv";
    DriveArguments noTimeout = Args("run", {"Initial_Positioning_Test"});
    noTimeout.timeout_s = 0.0;
    const Case cases[] = {
        {Args("read", {"NoSuchVariable"}), 1, "no drive variable or register"},
        {Args("write", {"KPI"}), 2, "expected NAME=VALUE"},
        {Args("write", {"KPI=abc"}), 2, "not a number"},
        {Args("write", {"KPI=1e12"}), 1, "takes whole numbers"},
        {Args("write", {"KPI=1.5"}), 1, "takes whole numbers"},
        {Args("run", {"No_Such_Program"}), 1, "cannot be opened"},
        {Args("run", {"..Initial_Positioning_Test"}), 1, "not a program name"},
        {Args("run", {"Initial_Positioning_Test", "In1=40000"}), 1, "out of the int16 range"},
        {Args("run", {"Initial_Positioning_Test", "Nope=1"}), 1, "no variable"},
        {Args("run", {"Initial_Positioning_Test", "In1"}), 2, "expected VAR=VALUE"},
        {tcp, 1, "cannot connect to tcp:127.0.0.1:1"},
        {csvWithoutLog, 2, "--csv needs --log"},
        {noTimeout, 2, "--timeout"},
    };
    for (const Case& c : cases) {
        std::string line = c.args.action;
        for (const auto& a : c.args.args) line += " " + a;
        EXPECT_EQ(Run(c.args), c.code) << line << ": " << err.str();
        EXPECT_NE(err.str().find(c.errHas), std::string::npos) << line << ": " << err.str();
    }
}

// The same command on a fake drive whose program ends.
class DriveCommandOnFake : public DriveCommand, public FakeDriveFixture {
protected:
    void SetUp() override {
        DriveCommand::SetUp();
        auto loaded = LoadDefaultSetup();
        ASSERT_TRUE(loaded) << loaded.error;
        setup = std::move(loaded.setup);
        plugin.Attach(*setup);
    }
    int RunHere(const DriveArguments& a) {
        out.str({});
        err.str({});
        const CommandContext ctx{out, err, plugin};
        return RunDriveAction(ctx, *setup, a);
    }
    std::unique_ptr<CMC_Setup> setup;
};

TEST_F(DriveCommandOnFake, RunWaitsForTheEndShowsProgressAndPrintsTheOutputs) {
    drive.startDelay_s = 0.1;
    drive.runTime_s = 2.5;
    EXPECT_EQ(RunHere(Args("run", {"Initial_Positioning_Test", "In1=5115"})), 0) << err.str();
    EXPECT_EQ(drive.programVariables.at("In1"), 5115);
    EXPECT_NE(out.str().find("In1 = 5115\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("STARTED = 1\n"), std::string::npos) << out.str();
    EXPECT_NE(err.str().find("drive run: 1."), std::string::npos) << "progress each second: " << err.str();
    EXPECT_GE(ui.Now_s(), 2.5);
    EXPECT_LT(ui.Now_s(), 2.7) << "the end was noticed late";
}

TEST_F(DriveCommandOnFake, ARunThatNeverEndsIsStoppedAtItsTimeout) {
    drive.runTime_s = 0.0;
    DriveArguments a = Args("run", {"Initial_Positioning_Test", "In1=5115"});
    a.timeout_s = 1.5;
    EXPECT_EQ(RunHere(a), 1);
    EXPECT_NE(err.str().find("did not end within 1.5 s"), std::string::npos) << err.str();
    EXPECT_TRUE(drive.stopped);
    EXPECT_LT(ui.Now_s(), 1.7);
}

TEST_F(DriveCommandOnFake, ARunThatEndsWithDriveErrorsFails) {
    drive.variables["MER"] = 0x0020;
    EXPECT_EQ(RunHere(Args("run", {"Initial_Positioning_Test", "In1=5115"})), 1);
    EXPECT_NE(err.str().find("MER = 0x0020"), std::string::npos) << err.str();
}

TEST_F(DriveCommandOnFake, RunWritesTheLogAsCsvAtomically) {
    drive.log = {{0.0, {5115, 1}}, {0.0005, {5116, -2}}};
    const auto path = std::filesystem::temp_directory_path() / "pelmora_host_log.csv";
    std::filesystem::remove(path);
    DriveArguments a = Args("run", {"Ident_R_or_Rs", "In1=5115"});
    a.log = "IQ,ID";
    a.points = 400;
    a.csvPath = path.string();
    ASSERT_EQ(RunHere(a), 0) << err.str();
    ASSERT_TRUE(drive.logger.has_value());
    EXPECT_EQ(drive.logger->points, 400);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "time_s,IQ,ID\n0,5115,1\n5e-04,5116,-2\n");
    std::filesystem::remove(path);
}

TEST_F(DriveCommandOnFake, WriteChecksEveryAssignmentBeforeTheFirstGoesOut) {
    EXPECT_EQ(RunHere(Args("write", {"KPI=100", "KPII=5"})), 1);
    EXPECT_EQ(drive.Count(drivesim::Op::WriteRegister), 0U) << "a typo in the second wrote the first";
    EXPECT_EQ(RunHere(Args("write", {"KPI=100", "KII=5"})), 0) << err.str();
    EXPECT_EQ(drive.registers.at("KPI"), 100);
    EXPECT_EQ(drive.registers.at("KII"), 5);
}

TEST_F(DriveCommandOnFake, ReadFailsWhenTheLinkDoes) {
    drive.failingOps.insert(drivesim::Op::ReadVariable);
    EXPECT_EQ(RunHere(Args("read", {"MER"})), 1);
    EXPECT_NE(err.str().find("injected failure"), std::string::npos) << err.str();
}

}  // namespace
