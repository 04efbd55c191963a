#include "MC_SetupFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string Document(const std::string& parameters, const std::string& extra = "") {
    return R"({"format": "pelmora-setup", "version": 1, "parameters": [)" + parameters + "]" + extra + "}";
}

const std::string kGood =
    R"({"name": "PWM_freq", "value": 20000, "min": 1000, "max": 100000, "kind": "real", "unitType": "frequency", "unit": "kHz"})";

class TempDir : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("pelmora-test-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Path(const char* name) const { return (m_dir / name).string(); }
    static std::string Read(const std::string& path) {
        std::ifstream in(path);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    int FileCount() const { return static_cast<int>(std::distance(fs::directory_iterator(m_dir), {})); }

    fs::path m_dir;
};

TEST(SetupFile, TheDefaultSetupLoadsWithEveryValueInItsRange) {
    const SetupLoadResult loaded = LoadDefaultSetup();
    ASSERT_TRUE(loaded) << loaded.error;
    const CMC_Setup& setup = *loaded.setup;
    EXPECT_GT(setup.GetParameters().GetParametersCount(), 200);
    for (const auto& p : setup.GetParameters()) {
        SCOPED_TRACE(p->GetName());
        EXPECT_LE(p->GetMinInBaseUnit(), p->GetValueInBaseUnit());
        EXPECT_LE(p->GetValueInBaseUnit(), p->GetMaxInBaseUnit());
    }
    CMC_QuietErrors quiet;
    for (const char* name : {"PWM_freq", "PWMPER", "DSP_freq", "Kp_C_scl", "KPI", "SFTKPI", "ACR", "PolePitch", "DBTTH",
                             "Motor_transmission", "Load_transmission", "BQFilterType1", "BQ3SF", "IQREF_BQ_INI"}) {
        EXPECT_NE(setup.FindParameter(name), nullptr) << name;
    }
    for (const char* name : {"APOS", "MER", "CADIN", "POSTRIGG4"}) {
        EXPECT_NE(setup.FindVariable(name), nullptr) << name;
    }
    EXPECT_EQ(setup.GetOptionNoError("IsClosedPosition"), "1");
    EXPECT_EQ(Compute_ADCMaxValue(&setup), 65472u);
}

// The passbands were always used as ω in rad/s: a file that calls them frequencies in Hz keeps its
// number, now read and shown as rad/s, and is saved with their own unit type. Other frequencies
// and other types are left as the file gives them.
TEST(SetupFile, PassbandsStoredAsFrequenciesLoadAsAngularFrequenciesWithTheSameNumber) {
    struct Case {
        const char* name;
        const char* unitType;
        const char* unit;
        UnitType type;
        const char* shownIn;
    };
    const Case cases[] = {
        {"PB_C", "frequency", "Hz", UnitType::AngularFrequency, "rad/s"},
        {"pb_s", "frequency", "kHz", UnitType::AngularFrequency, "rad/s"},
        {"PB_P", "frequency", "IU", UnitType::AngularFrequency, "IU"},
        {"PB_C_maxim", "frequency", "Hz", UnitType::AngularFrequency, "rad/s"},
        {"PB_P_minim", "frequency", "Hz", UnitType::AngularFrequency, "rad/s"},
        {"PB_S", "angular_frequency", "Hz", UnitType::AngularFrequency, "Hz"},
        {"PB_S", "angular_frequency", "rad/s", UnitType::AngularFrequency, "rad/s"},
        {"PWM_freq", "frequency", "Hz", UnitType::Frequency, "Hz"},
        {"PB_C", "none", "-", UnitType::None, "-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " as " + c.unitType + " in " + c.unit);
        const std::string item = std::string(R"({"name": ")") + c.name +
                                 R"(", "value": 4000, "min": 100, "max": 20000, "kind": "real", "unitType": ")" +
                                 c.unitType + R"(", "unit": ")" + c.unit + R"("})";
        const SetupLoadResult loaded = ParseSetup(Document(item), "axis.json");
        ASSERT_TRUE(loaded) << loaded.error;
        const CMC_Parameter* p = loaded.setup->FindParameter(c.name);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->GetValueInBaseUnit(), 4000.0);
        EXPECT_EQ(p->GetUnitType(), c.type);
        EXPECT_EQ(p->GetUnit().GetName(), c.shownIn);
        const std::string saved = SetupToJson(*loaded.setup);
        EXPECT_NE(saved.find(std::string(R"("unitType":")") + std::string(CMC_Units::Instance().Info(c.type).key)),
                  std::string::npos)
            << saved;
        const SetupLoadResult again = ParseSetup(saved, "memory");
        ASSERT_TRUE(again) << again.error;
        EXPECT_EQ(again.setup->FindParameter(c.name)->GetValueInBaseUnit(), 4000.0);
        EXPECT_EQ(again.setup->FindParameter(c.name)->GetUnitType(), c.type);
    }
}

TEST(SetupFile, ValuesRoundTripBitForBit) {
    const double awkward[] = {0.1, 1.0 / 3.0, 1e-300, 5e-324, -0.0, 123456789.123456789, 2.0 / 3.0 * 1e-7};
    CMC_Setup setup;
    int i = 0;
    for (double value : awkward) {
        setup.AddParameter("p" + std::to_string(i++), ParameterKind::Real, UnitType::Time,
                           CMC_Units::Instance().BaseUnit(UnitType::Time), value, -1e308, 1e308);
    }
    setup.SetOption("SpeedTuningOscSettings", "a;b \"quoted\"\n");
    const std::string text = SetupToJson(setup);
    const SetupLoadResult loaded = ParseSetup(text, "memory");
    ASSERT_TRUE(loaded) << loaded.error;
    for (int k = 0; k < i; ++k) {
        const double original = setup.GetParameters()[k]->GetValueInBaseUnit();
        const double read = loaded.setup->GetParameters()[k]->GetValueInBaseUnit();
        SCOPED_TRACE(original);
        EXPECT_EQ(std::memcmp(&original, &read, sizeof original), 0);
    }
    EXPECT_EQ(loaded.setup->GetOptionNoError("SpeedTuningOscSettings"), "a;b \"quoted\"\n");
    EXPECT_EQ(SetupToJson(*loaded.setup), text);
}

TEST(SetupFile, TheDefaultSetupSurvivesSaveAndLoadUnchanged) {
    const SetupLoadResult first = LoadDefaultSetup();
    ASSERT_TRUE(first) << first.error;
    const std::string text = SetupToJson(*first.setup);
    const SetupLoadResult second = ParseSetup(text, "memory");
    ASSERT_TRUE(second) << second.error;
    EXPECT_EQ(SetupToJson(*second.setup), text);
    EXPECT_EQ(second.setup->GetIdentity().ioPins.size(), first.setup->GetIdentity().ioPins.size());
}

struct MalformedCase {
    const char* what;
    std::string text;
    std::vector<std::string> messageParts;
};

TEST(SetupFile, MalformedFilesAreRefusedWithThePlaceAndTheFault) {
    const MalformedCase cases[] = {
        {"bad JSON", "{\n \"format\": \"pelmora-setup\",\n \"version\": 1,\n \"parameters\": [,]\n}",
         {"axis.json", "line 4"}},
        {"not an object", "[1, 2]", {"axis.json", "not a JSON object"}},
        {"wrong format", R"({"format": "other", "version": 1, "parameters": []})", {"/format", "not a Pelmora setup"}},
        {"wrong version", R"({"format": "pelmora-setup", "version": 2, "parameters": []})", {"/version", "version 2"}},
        {"no parameters", R"({"format": "pelmora-setup", "version": 1})", {"\"parameters\" is missing"}},
        {"name differing only in case",
         Document(kGood + "," +
                  R"({"name": "pwm_FREQ", "value": 1, "min": 0, "max": 2, "unitType": "none"})"),
         {"/parameters/1/name", "pwm_FREQ", "already defined", "PWM_freq"}},
        {"member twice in one object",
         Document(R"({"name": "A", "name": "B", "value": 1, "min": 0, "max": 2, "unitType": "none"})"),
         {"\"name\" appears twice"}},
        {"non-finite number",
         Document(R"({"name": "A", "value": 1e999, "min": 0, "max": 2, "unitType": "none"})"),
         {"line 1, column", "1e999", "overflow"}},
        {"minimum above maximum",
         Document(R"({"name": "A", "value": 1, "min": 3, "max": 2, "unitType": "none"})"),
         {"/parameters/0 (A)", "minimum is above the maximum"}},
        {"value outside its range",
         Document(R"({"name": "A", "value": 5, "min": 0, "max": 2, "unitType": "none"})"),
         {"/parameters/0 (A)/value", "outside"}},
        {"unknown unit",
         Document(R"({"name": "A", "value": 1, "min": 0, "max": 2, "unitType": "current", "unit": "furlong"})"),
         {"/parameters/0 (A)/unit", "furlong"}},
        {"unit of another type",
         Document(R"({"name": "A", "value": 1, "min": 0, "max": 2, "unitType": "current", "unit": "mm"})"),
         {"/parameters/0 (A)/unit", "\"mm\""}},
        {"unknown unit type",
         Document(R"({"name": "A", "value": 1, "min": 0, "max": 2, "unitType": "luminosity"})"),
         {"/parameters/0 (A)/unitType", "luminosity"}},
        {"unknown kind",
         Document(R"({"name": "A", "value": 1, "min": 0, "max": 2, "unitType": "none", "kind": "fuzzy"})"),
         {"/parameters/0 (A)/kind", "fuzzy"}},
        {"number as text", Document(R"({"name": "A", "value": "1", "min": 0, "max": 2, "unitType": "none"})"),
         {"/parameters/0 (A)/value", "a number was expected"}},
        {"option differing only in case", Document(kGood, R"(, "options": {"NewDeadBand": "1", "newdeadband": "0"})"),
         {"/options/newdeadband", "already defined"}},
        {"option not a string", Document(kGood, R"(, "options": {"NewDeadBand": 1})"),
         {"/options/NewDeadBand", "a string was expected"}},
        {"variable twice", Document(kGood, R"(, "variables": [{"name": "APOS", "unitType": "none"},
                                                               {"name": "apos", "unitType": "none"}])"),
         {"/variables/1/name", "already defined"}},
        {"ADC width", Document(kGood, R"(, "identity": {"adcBits": 20})"), {"/identity/adcBits", "1 to 16"}},
    };
    for (const MalformedCase& c : cases) {
        SCOPED_TRACE(c.what);
        const SetupLoadResult result = ParseSetup(c.text, "axis.json");
        EXPECT_FALSE(result);
        EXPECT_EQ(result.error.rfind("axis.json: ", 0), 0u) << result.error;
        for (const std::string& part : c.messageParts) {
            EXPECT_NE(result.error.find(part), std::string::npos) << "expected \"" << part << "\" in: " << result.error;
        }
    }
}

// Damaged and extreme files: each refused with its place, in our words rather than the JSON
// library's, and quickly (the nesting case used to overflow the stack).
TEST(SetupFile, DamagedFilesAreRefusedWithTheirPlace) {
    const std::string good = Document(kGood);
    const std::string register_ = R"({"name": "KPI", "value": 100.25, "min": 0, "max": 32767, "kind": "register", "unitType": "none"})";
    const MalformedCase cases[] = {
        {"flag given as text", Document(kGood, R"(, "identity": {"ioPins": [{"port": 25, "pin": 3, "brake": "yes"}]})"),
         {"/identity/ioPins/0/brake", "true or false"}},
        {"a member twice in the document", Document(kGood, R"(, "parameters": [])"), {"/parameters", "appears twice"}},
        {"a NUL byte and junk after the document", good + std::string(1, '\0') + "junk", {"line", "NUL"}},
        {"junk after the document", good + "}x", {"line", "not valid JSON"}},
        {"version beyond 64 bits", R"({"format": "pelmora-setup", "version": 18446744073709551615, "parameters": []})",
         {"/version", "out of range"}},
        {"controller version beyond 32 bits", Document(kGood, R"(, "identity": {"mcVersion": 4294967299})"),
         {"/identity/mcVersion", "4294967299", "out of range"}},
        {"port beyond 32 bits", Document(kGood, R"(, "identity": {"ioPins": [{"port": 4294967321, "pin": 3}]})"),
         {"/identity/ioPins/0/port", "out of range"}},
        {"register with a fraction", Document(register_), {"/parameters/0 (KPI)/value", "whole number", "100.25"}},
        {"integer with a fraction",
         Document(R"({"name": "N", "value": 2.5, "min": 0, "max": 9, "kind": "integer", "unitType": "none"})"),
         {"/parameters/0 (N)/value", "whole number"}},
        {"nesting far beyond a setup", std::string(100000, '[') + std::string(100000, ']'),
         {"line 1, column 65", "nested more than 64"}},
        {"nesting inside a member", Document(kGood, ", \"deep\": " + std::string(70, '[') + std::string(70, ']')),
         {"nested more than"}},
        {"document cut short", good.substr(0, good.size() / 2), {"line", "ends too early"}},
    };
    for (const MalformedCase& c : cases) {
        SCOPED_TRACE(c.what);
        const SetupLoadResult result = ParseSetup(c.text, "axis.json");
        EXPECT_FALSE(result);
        EXPECT_EQ(result.error.rfind("axis.json: ", 0), 0u) << result.error;
        EXPECT_EQ(result.error.find("json.exception"), std::string::npos) << result.error;
        for (const std::string& part : c.messageParts) {
            EXPECT_NE(result.error.find(part), std::string::npos) << "expected \"" << part << "\" in: " << result.error;
        }
    }
}

TEST(SetupFile, WholeRegistersAndBracketsInsideTextsStillLoad) {
    const std::string text = Document(
        R"({"name": "KPI", "value": 100, "min": 0, "max": 32767, "kind": "register", "unitType": "none"})",
        R"(, "identity": {"description": "[[[[ {{{{ \" ]]]]"}, "options": {"a/b~c": "1"})");
    const SetupLoadResult result = ParseSetup(text, "axis.json");
    ASSERT_TRUE(result) << result.error;
    EXPECT_EQ(result.setup->GetIdentity().description, "[[[[ {{{{ \" ]]]]");
    EXPECT_EQ(result.setup->GetOptionNoError("a/b~c"), "1");
}

TEST_F(TempDir, SavingReplacesTheFileAtomicallyAndLeavesNoTemporaryBehind) {
    const std::string path = Path("axis.json");
    {
        std::ofstream old(path);
        old << "old contents";
    }
    const SetupLoadResult loaded = LoadDefaultSetup();
    ASSERT_TRUE(loaded) << loaded.error;
    EXPECT_EQ(SaveSetupFile(*loaded.setup, path), "");
    EXPECT_EQ(Read(path), SetupToJson(*loaded.setup));
    EXPECT_EQ(FileCount(), 1);
    const SetupLoadResult again = LoadSetupFile(path);
    ASSERT_TRUE(again) << again.error;
}

TEST_F(TempDir, AFailedSaveKeepsWhatWasThereAndSaysWhy) {
    // The target is a folder: the rename fails, after the temporary file was fully written.
    const std::string folder = Path("taken");
    fs::create_directory(folder);
    CMC_Setup setup;
    const std::string error = SaveSetupFile(setup, folder);
    EXPECT_NE(error.find(folder), std::string::npos) << error;
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(FileCount(), 1);

    const std::string missingDir = Path("no/such/dir/axis.json");
    EXPECT_NE(SaveSetupFile(setup, missingDir).find(missingDir), std::string::npos);
}

// A save through a symbolic link writes the file the link names, beside it, and keeps the link.
TEST_F(TempDir, SavingThroughALinkReplacesItsTargetAndKeepsTheLink) {
    fs::create_directory(m_dir / "real");
    const std::string target = Path("real/axis.json");
    std::ofstream(target) << "old contents";
    struct Link {
        const char* name;
        std::string pointsTo;
    };
    const Link links[] = {{"absolute.json", target}, {"relative.json", "real/axis.json"}};
    CMC_Setup setup;
    setup.SetOption("Saved", "1");
    for (const Link& link : links) {
        SCOPED_TRACE(link.name);
        fs::create_symlink(link.pointsTo, Path(link.name));
        EXPECT_EQ(SaveSetupFile(setup, Path(link.name)), "");
        EXPECT_TRUE(fs::is_symlink(Path(link.name)));
        EXPECT_EQ(Read(target), SetupToJson(setup));
        EXPECT_EQ(std::distance(fs::directory_iterator(m_dir / "real"), {}), 1) << "a temporary was left beside the target";
    }
}

// A save refuses what is not a regular file, and a file the user may not write, and keeps a
// file's permissions.
TEST_F(TempDir, SavingRespectsWhatTheTargetIs) {
    CMC_Setup setup;
    const std::string fifo = Path("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    std::string error = SaveSetupFile(setup, fifo);
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    struct stat info {};
    ASSERT_EQ(::stat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));

    const std::string kept = Path("kept.json");
    std::ofstream(kept) << "old";
    ::chmod(kept.c_str(), 0640);
    EXPECT_EQ(SaveSetupFile(setup, kept), "");
    ASSERT_EQ(::stat(kept.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    const std::string readOnly = Path("read-only.json");
    std::ofstream(readOnly) << "old";
    ::chmod(readOnly.c_str(), 0444);
    if (::geteuid() != 0) {  // root may write any file
        error = SaveSetupFile(setup, readOnly);
        EXPECT_NE(error.find("may not write"), std::string::npos) << error;
        EXPECT_EQ(Read(readOnly), "old");
    }
    EXPECT_EQ(SaveSetupFile(setup, ""), "no file name was given");
    EXPECT_EQ(FileCount(), 3);
}

TEST_F(TempDir, LoadingAMissingFileNamesIt) {
    const std::string path = Path("absent.json");
    const SetupLoadResult result = LoadSetupFile(path);
    EXPECT_FALSE(result);
    EXPECT_NE(result.error.find(path), std::string::npos);
}

}  // namespace
