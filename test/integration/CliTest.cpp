#include "Commands.h"
#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct RunResult {
    int exitCode;
    std::string out;
    std::string err;
};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct CliCase {
    const char* args;
    int exitCode;
    const char* inOut;
    const char* inErr;
};

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        // The process ID keeps runs from other checkouts, at the same time, out of this folder.
        m_dir = fs::temp_directory_path() /
                ("pelmora-cli-" + std::to_string(::getpid()) + "-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // Runs the application with shell-quoted arguments.
    RunResult Pelmora(const std::string& args, const std::string& env = "") const {
        const fs::path out = m_dir / "stdout", err = m_dir / "stderr";
        const std::string command = env + " '" PELMORA_APP_PATH "' " + args + " >'" + out.string() + "' 2>'" +
                                    err.string() + "' </dev/null";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out), Slurp(err)};
    }

    std::string SaveDefault(const char* name) const {
        const std::string path = (m_dir / name).string();
        const SetupLoadResult loaded = LoadDefaultSetup();
        EXPECT_EQ(SaveSetupFile(*loaded.setup, path), "");
        return path;
    }

    double ValueIn(const std::string& path, const char* name) const {
        const SetupLoadResult loaded = LoadSetupFile(path);
        EXPECT_TRUE(loaded) << loaded.error;
        return loaded ? loaded.setup->GetParameterValueInBaseUnit(name) : -1;
    }

    // Each refused `set` exits as expected, says why, and leaves the file as it was.
    template <std::size_t N>
    void ExpectSetRefusals(const std::string& path, const CliCase (&cases)[N]) {
        const std::string before = Slurp(path);
        for (const CliCase& c : cases) {
            SCOPED_TRACE(c.args);
            const RunResult run = Pelmora("set '" + path + "' " + c.args);
            EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
            EXPECT_NE(run.err.find(c.inErr), std::string::npos) << run.err;
            EXPECT_EQ(Slurp(path), before);
        }
    }

    fs::path m_dir;
};

TEST_F(Cli, SubcommandsOnTheDefaultSetupAnswerWithConventionalExitCodes) {
    const CliCase cases[] = {
        {"scale 'rad/s' Motor_Speed", 0, "factor 0.015625\noffset 0\n", ""},
        {"scale '°C' TEMP", 0, "offset -", ""},
        {"scale A", 2, "", "args"},
        {"show PWM_freq pwmper", 0, "PWM_freq", ""},
        {"show PWM_freq", 0, "20 kHz", ""},
        {"show StartCurrent Vbrake", 0, "80 %", ""},
        {"show Vbrake", 0, "70 V", ""},
        {"show NoSuchParameter", 1, "", "no parameter \"NoSuchParameter\""},
        {"show --identity", 0, "firmware ID", ""},
        {"show --options", 0, "IsClosedPosition", ""},
        {"--help", 0, "scale", ""},
        {"show --help", 0, "NAME", ""},
        {"frobnicate", 2, "", ""},
        {"", 2, "", ""},
        {"set PWM_freq=16kHz", 2, "", "-o OUT"},
        {"show /nonexistent/axis.json", 1, "", "/nonexistent/axis.json"},
    };
    for (const CliCase& c : cases) {
        SCOPED_TRACE(std::string("pelmora ") + c.args);
        const RunResult run = Pelmora(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_NE(run.out.find(c.inOut), std::string::npos) << run.out;
        EXPECT_NE(run.err.find(c.inErr), std::string::npos) << run.err;
    }
}

TEST_F(Cli, SetChangesValuesInTheirUnitsAndSavesAtomically) {
    const std::string path = SaveDefault("axis.json");
    const RunResult run = Pelmora("set '" + path + "' PWM_freq=16kHz 'PolePitch=30 mm' Limit_Speed=0.5");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ValueIn(path, "PWM_freq"), 16000);
    EXPECT_DOUBLE_EQ(ValueIn(path, "PolePitch"), 0.03);

    const std::string out = (m_dir / "copy.json").string();
    ASSERT_EQ(Pelmora("set PWM_freq=10kHz -o '" + out + "'").exitCode, 0);
    EXPECT_EQ(ValueIn(out, "PWM_freq"), 10000);
    EXPECT_EQ(ValueIn(path, "PWM_freq"), 16000);
}

TEST_F(Cli, SetReachesOptionsUnitsOnShowAndTheIdentity) {
    const std::string path = SaveDefault("axis.json");
    const RunResult run = Pelmora("set '" + path +
                                  "' PWM_freq=16kHz --option speedtuningoscsettings=scope --unit 'PolePitch=µm' "
                                  "--identity productId=PLM-X --identity E2ROMSIZE=8192");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const SetupLoadResult loaded = LoadSetupFile(path);
    ASSERT_TRUE(loaded) << loaded.error;
    EXPECT_EQ(loaded.setup->GetOptionNoError("SpeedTuningOscSettings"), "scope");
    EXPECT_STREQ(loaded.setup->GetParameterUnit("PolePitch"), "µm");
    EXPECT_EQ(loaded.setup->GetIdentity().productId, "PLM-X");
    EXPECT_EQ(loaded.setup->GetIdentity().e2romSize, 8192U);
    EXPECT_EQ(ValueIn(path, "PWM_freq"), 16000);
    // Only the extras, without any parameter.
    ASSERT_EQ(Pelmora("set '" + path + "' --identity 'description=Left axis'").exitCode, 0);
    EXPECT_EQ(LoadSetupFile(path).setup->GetIdentity().description, "Left axis");
    // An option that follows from the parameters is set again by the passes, and the user is told.
    const RunResult derived = Pelmora("set '" + path + "' --option IsClosedPosition=0");
    ASSERT_EQ(derived.exitCode, 0) << derived.err;
    EXPECT_NE(derived.err.find("option IsClosedPosition is kept as \"1\", not \"0\""), std::string::npos)
        << derived.err;
}

TEST_F(Cli, ABadOptionUnitOrIdentityWritesNothingAtAll) {
    const std::string path = SaveDefault("axis.json");
    const CliCase cases[] = {
        {"PWM_freq=16kHz --option NoSuchOption=1", 1, "", "has no option \"NoSuchOption\""},
        {"--option IsClosedPosition", 2, "", "is not --option NAME=VALUE"},
        {"--unit PolePitch=kg", 1, "", "unit \"kg\" does not fit; use one of m, mm"},
        {"--unit NoSuchParameter=mm", 1, "", "no parameter \"NoSuchParameter\""},
        {"--identity adcBits=17", 1, "", "adcBits: 17 is out of range (1 to 16)"},
        {"--identity e2romSize=lots", 1, "", "e2romSize: \"lots\" is not a whole number"},
        {"--identity firmwareId=F9", 1, "", "not a firmware ID"},
        {"--identity ioPins=1", 1, "", "the identity has no member \"ioPins\""},
        {"--identity colour=red", 1, "", "use one of description, productId"},
    };
    ExpectSetRefusals(path, cases);
}

TEST_F(Cli, ABadAssignmentWritesNothingAtAll) {
    const std::string path = SaveDefault("axis.json");
    const CliCase cases[] = {
        {"PWM_freq=abc", 1, "", "does not start with a number"},
        {"PWM_freq=16furlong", 1, "", "unit \"furlong\""},
        {"PWM_freq=1e9", 1, "", "outside"},
        {"PWM_freq=nan", 1, "", "not a finite number"},
        {"NoSuchParameter=1", 1, "", "no parameter \"NoSuchParameter\""},
        {"PWM_freq=16kHz PWMPER=x", 1, "", "PWMPER"},
        {"PWM_freq", 2, "", "NAME=VALUE"},
    };
    ExpectSetRefusals(path, cases);
}

// `set` leaves what the dialogs' OK leaves: the register behind a parameter follows it, so the
// next pass keeps the new value, and the other values that moved are listed.
TEST_F(Cli, SetKeepsWhatItSetsThroughTheNextPasses) {
    struct Case {
        const char* assignment;
        const char* name;
        double expected;
        const char* registerName;
        double registerValue;
        const char* inOut;
    };
    const Case cases[] = {
        {"PWM_freq=16kHz", "PWM_freq", 16000, "PWMPER", 1875, "also changed: Ts_S"},
        {"ControlMode=1", "ControlMode", 1, "ACR", -1, "also changed: ACR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.assignment);
        const std::string path = SaveDefault("axis.json");
        const RunResult set = Pelmora("set '" + path + "' " + c.assignment);
        ASSERT_EQ(set.exitCode, 0) << set.err;
        EXPECT_NE(set.out.find(c.inOut), std::string::npos) << set.out;
        if (c.registerValue >= 0) {
            EXPECT_EQ(ValueIn(path, c.registerName), c.registerValue);
        }
        for (const char* pass : {"compute", "encode", "compute"}) {
            ASSERT_EQ(Pelmora(std::string(pass) + " '" + path + "' -o '" + path + "'").exitCode, 0) << pass;
            EXPECT_EQ(ValueIn(path, c.name), c.expected) << "after " << pass;
        }
    }
}

TEST_F(Cli, SetWarnsWhenAValueSnapsToWhatTheRegistersHold) {
    const std::string path = SaveDefault("axis.json");
    const RunResult run = Pelmora("set '" + path + "' PWM_freq=18kHz");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("warning: PWM_freq is kept as 17996.4"), std::string::npos) << run.err;
}

// A pass that lacks a parameter it needs fails, says so once per name and writes nothing.
TEST_F(Cli, APassMissingAParameterFailsAndWritesNothing) {
    const SetupLoadResult loaded = LoadDefaultSetup();
    std::string text = SetupToJson(*loaded.setup);
    const std::size_t at = text.find("{\"name\":\"DSP_freq\"");
    ASSERT_NE(at, std::string::npos);
    text.erase(at, text.find('\n', at) + 1 - at);
    const std::string path = (m_dir / "incomplete.json").string();
    std::ofstream(path) << text;
    const std::string out = (m_dir / "out.json").string();
    for (const char* command : {"encode", "compute", "set"}) {
        SCOPED_TRACE(command);
        const std::string extra = std::string(command) == "set" ? " Vdc=40" : "";
        const RunResult run = Pelmora(std::string(command) + " '" + path + "'" + extra + " -o '" + out + "'");
        EXPECT_EQ(run.exitCode, 1) << run.err;
        const std::string missing = "Parameter DSP_freq not found";
        const std::size_t first = run.err.find(missing);
        EXPECT_NE(first, std::string::npos) << run.err;
        EXPECT_EQ(run.err.find(missing, first + 1), std::string::npos) << "reported more than once:\n" << run.err;
        EXPECT_FALSE(fs::exists(out));
    }
}

// Arguments mean what they say: no empty name stands for the default setup or "in place", a file
// is a file whatever its name, and an unknown unit is an error.
TEST_F(Cli, ArgumentsAreTakenForWhatTheyAre) {
    const std::string setup = SaveDefault("a=b.json");
    fs::create_directory(m_dir / "folder");
    const std::string folder = (m_dir / "folder").string();
    const CliCase cases[] = {
        {"compute ''", 2, "", "empty"},
        {"encode ''", 2, "", "empty"},
        {"compute -o ''", 2, "", "empty"},
        {"set PWM_freq=16kHz -o ''", 2, "", "empty"},
        {"show /dev/null", 1, "", "/dev/null"},
        {"scale furlong Motor_Speed", 1, "", "unknown unit \"furlong\""},
        {"edit --script ''", 2, "", "empty"},
    };
    for (const CliCase& c : cases) {
        SCOPED_TRACE(std::string("pelmora ") + c.args);
        const RunResult run = Pelmora(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_NE(run.err.find(c.inErr), std::string::npos) << run.err;
    }
    const RunResult set = Pelmora("set '" + setup + "' Vdc=40");
    EXPECT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(ValueIn(setup, "Vdc"), 40);
    const RunResult edit = Pelmora("edit --script '" + folder + "'");
    EXPECT_EQ(edit.exitCode, 1);
    EXPECT_NE(edit.err.find("is a folder"), std::string::npos) << edit.err;
}

TEST_F(Cli, AMissingPluginIsReported) {
    const RunResult run = Pelmora("show", "PELMORA_PLUGIN=/nonexistent/libPelmora.so");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("cannot load the plug-in"), std::string::npos) << run.err;
}

TEST(TypedQuantity, NumbersWithOptionalUnitsAreSplitExactly) {
    struct Case {
        const char* text;
        bool ok;
        double value;
        const char* unit;
    };
    const Case cases[] = {
        {"20kHz", true, 20, "kHz"},   {"1.5 mm", true, 1.5, "mm"}, {"-3e-3", true, -3e-3, ""},
        {"+4 IU", true, 4, "IU"},     {" 7 ", true, 7, ""},        {"0.1", true, 0.1, ""},
        {"abc", false, 0, ""},        {"", false, 0, ""},          {"inf", false, 0, ""},
        {"nan", false, 0, ""},        {"1e999", false, 0, ""},     {"-", false, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const TypedQuantityResult result = ParseTypedQuantity(c.text);
        ASSERT_EQ(result.quantity.has_value(), c.ok) << result.error;
        if (c.ok) {
            EXPECT_EQ(result.quantity->value, c.value);
            EXPECT_EQ(result.quantity->unit, c.unit);
        } else {
            EXPECT_FALSE(result.error.empty());
        }
    }
}

}  // namespace

namespace {

TEST_F(Cli, PassesChangeNoFileWithoutOutputAndSaveWithIt) {
    const std::string path = SaveDefault("axis.json");
    const std::string before = Slurp(path);
    for (const char* command : {"compute", "encode"}) {
        SCOPED_TRACE(command);
        const RunResult run = Pelmora(std::string(command) + " '" + path + "'");
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(Slurp(path), before);
        EXPECT_EQ(run.err, "");
    }
    // A changed gain reaches its registers through encode, and only the output file changes.
    ASSERT_EQ(Pelmora("set '" + path + "' Kp_C_scl=3").exitCode, 0);
    const std::string out = (m_dir / "encoded.json").string();
    ASSERT_EQ(Pelmora("encode '" + path + "' -o '" + out + "'").exitCode, 0);
    EXPECT_EQ(ValueIn(out, "SFTKPI"), 2);
    // 32767 · 3 / 4 = 24575.25: the register holds the nearest whole count.
    EXPECT_EQ(ValueIn(out, "KPI"), 24575);
}

TEST_F(Cli, JsonOutputHoldsEveryParameterAndOption) {
    const RunResult run = Pelmora("compute --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const SetupLoadResult setup = LoadDefaultSetup();
    const std::string count = "\"name\"";
    std::size_t names = 0;
    for (std::size_t at = run.out.find(count); at != std::string::npos; at = run.out.find(count, at + 1)) ++names;
    EXPECT_EQ(names, static_cast<std::size_t>(setup.setup->GetParameters().GetParametersCount()));
    EXPECT_NE(run.out.find("\"IsClosedPosition\""), std::string::npos);
    EXPECT_EQ(Pelmora("encode a.json b.json").exitCode, 2);
}

}  // namespace

namespace {

// A new PWM frequency changes the loop periods; the time registers must follow so that every
// time parameter keeps its physical value once the parameters are recomputed.
TEST_F(Cli, EncodeAfterANewPwmFrequencyKeepsTimesPhysical) {
    const std::string path = SaveDefault("axis.json");
    const double before = ValueIn(path, "time_Imax_Prot");
    ASSERT_EQ(Pelmora("set '" + path + "' PWM_freq=10kHz").exitCode, 0);
    const std::string encoded = (m_dir / "encoded.json").string();
    const std::string computed = (m_dir / "computed.json").string();
    ASSERT_EQ(Pelmora("encode '" + path + "' -o '" + encoded + "'").exitCode, 0);
    ASSERT_EQ(Pelmora("compute '" + encoded + "' -o '" + computed + "'").exitCode, 0);
    EXPECT_EQ(ValueIn(computed, "PWMPER"), 3000);
    EXPECT_NEAR(ValueIn(computed, "time_Imax_Prot"), before, ValueIn(computed, "Ts_S"));
}

}  // namespace

namespace {

constexpr const char* kWalkThroughScript = R"(# every setup dialog the drive setup reaches
dialog "Brushless Motor Setup"
click OK
dialog "Drive Setup"
set "Power supply" "36 V"
unit "Current limit" mA
set "Current limit" 2500
click "Advanced"
dialog "Advanced"
click OK
click "Yes"
click "Setup"
dialog "External Reference Setup"
click OK
click "Drive Info"
dialog "Drive info"
click OK
click "Motor setup"
dialog "Brushless Motor Setup"
click OK
click "Speed"
expect hidden "Load speed limit"
print IlimPS
click OK
)";

TEST_F(Cli, EditScriptWalksTheDialogsAndSavesOnOk) {
    const std::string script = (m_dir / "walk.txt").string();
    std::ofstream(script) << kWalkThroughScript;
    const std::string out = (m_dir / "edited.json").string();
    const RunResult run = Pelmora("edit --script '" + script + "' -o '" + out + "'");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "IlimPS = 2500 mA\n");
    EXPECT_EQ(ValueIn(out, "Vdc"), 36);
    EXPECT_EQ(ValueIn(out, "IlimPS"), 2.5);
    EXPECT_EQ(ValueIn(out, "ControlMode"), 1);
    EXPECT_EQ(ValueIn(out, "ExternalReference"), 1);
}

// The documented example runs as written and uses every assertion the language has.
TEST_F(Cli, TheDocumentedEditScriptRuns) {
    const std::string example = std::string(PELMORA_DOCS_DIR) + "/edit-script-example.txt";
    const std::string out = (m_dir / "edited.json").string();
    const RunResult run = Pelmora("edit --script '" + example + "' -o '" + out + "'");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "Kp_C_scl = 2.99996948149052\n");
    std::ifstream file(example);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (const char* assertion : {"expect value", "expect no message", "expect messages", "expect unit", "key "}) {
        EXPECT_NE(text.find(assertion), std::string::npos) << "the example does not use " << assertion;
    }
}

TEST_F(Cli, AFailingEditScriptSaysWhereAndSavesNothing) {
    const std::string out = (m_dir / "edited.json").string();
    struct Case {
        const char* what;
        const char* script;
        int exitCode;
        const char* inErr;
    };
    const Case cases[] = {
        {"wrong dialog", "dialog \"Drive Setup\"\nclick OK\n", 1,
         "line 1: expected the dialog \"Drive Setup\", found \"Brushless Motor Setup\""},
        {"failed expectation", "click OK\nexpect text \"Power supply\" \"12\"\nclick OK\n", 1,
         "line 2: \"Power supply\": expected the text \"12\", found \"48\""},
        {"missing control", "click OK\nclick \"Frobnicate\"\n", 1, "line 2: Drive Setup: no control labelled"},
        {"syntax", "click OK\nfly away\n", 1, "line 2: unknown command \"fly\""},
        {"unclosed quote", "click \"OK\n", 1, "line 1: a quote is not closed"},
        {"cancelled", "click OK\nclick Cancel\n", 0, "cancelled; nothing was saved"},
        {"left open", "click OK\n", 0, "left \"Drive Setup\" open"},
        {"lines after the last dialog", "click OK\nclick OK\nclick OK\n", 1, "line 3: the dialogs closed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string script = (m_dir / "script.txt").string();
        std::ofstream(script) << c.script;
        fs::remove(out);
        const RunResult run = Pelmora("edit --script '" + script + "' -o '" + out + "'");
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_NE(run.err.find(c.inErr), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(out));
    }
}

}  // namespace
