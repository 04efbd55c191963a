#include "TestSetup.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

using namespace testing_support;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class SetupModel : public ::testing::Test {
protected:
    void SetUp() override { TakeCollectedErrors(); }
    void TearDown() override { g_bShowErrors = 1; }
};

TEST_F(SetupModel, LookUpIgnoresCaseAndFindsTheSameParameter) {
    auto setup = MakeSetup({{"isMotori2t", 1, UnitType::None, ParameterKind::Flag}, {"PWM_freq", 20000}});
    const CMC_Parameter* stored = setup->FindParameter("isMotori2t");
    ASSERT_NE(stored, nullptr);
    for (const char* spelling : {"isMotorI2t", "ISMOTORI2T", "ismotori2t"}) {
        SCOPED_TRACE(spelling);
        EXPECT_EQ(setup->FindParameter(spelling), stored);
    }
    EXPECT_EQ(setup->FindParameter("PWM_FREQ")->GetValueInBaseUnit(), 20000);
    EXPECT_TRUE(TakeCollectedErrors().empty());
}

TEST_F(SetupModel, MissingNamesAreReportedOnlyWhileErrorsAreShown) {
    auto setup = MakeSetup({{"PWM_freq", 20000}});
    EXPECT_EQ(setup->FindParameter("PWMPER"), nullptr);
    const auto shown = TakeCollectedErrors();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find("PWMPER"), std::string::npos);

    {
        CMC_QuietErrors quiet;
        EXPECT_EQ(g_bShowErrors, 0);
        EXPECT_EQ(setup->FindParameter("PWMPER"), nullptr);
        EXPECT_EQ(setup->FindVariable("APOS"), nullptr);
        EXPECT_EQ(setup->GetParameterValueInBaseUnit("PWMPER"), 0.0);
    }
    EXPECT_EQ(g_bShowErrors, 1);
    EXPECT_TRUE(TakeCollectedErrors().empty());

    // A variable looked up with the quiet flag is not reported either.
    EXPECT_EQ(setup->FindVariable("CADIN", 1), nullptr);
    EXPECT_TRUE(TakeCollectedErrors().empty());
}

TEST_F(SetupModel, ShortcutsOnAMissingParameterAnswerZeroAndChangeNothing) {
    auto setup = MakeSetup({{"PWM_freq", 20000}});
    EXPECT_EQ(setup->GetParameterValueInBaseUnit("nope"), 0.0);
    EXPECT_EQ(setup->GetParameterValueInInternalUnit("nope"), 0.0);
    EXPECT_EQ(setup->GetParameterValue("nope"), 0.0);
    EXPECT_FALSE(setup->SetParameterValueInBaseUnit("nope", 1.0));
    EXPECT_STREQ(setup->GetParameterUnit("nope"), "");
    EXPECT_FALSE(setup->ChangeParameterUnit("nope", "mm"));
    EXPECT_EQ(TakeCollectedErrors().size(), 6u);
    EXPECT_EQ(setup->GetParameters().GetParametersCount(), 1);
}

TEST_F(SetupModel, ValuesAreClampedToTheRangeAndNonFiniteValuesRefused) {
    CMC_Setup setup;
    CMC_Parameter* p = setup.AddParameter("ERR_speed", ParameterKind::Real, UnitType::LinearSpeed,
                                          CMC_Units::Instance().BaseUnit(UnitType::LinearSpeed), 0.5, 0.0, 1.0);
    ASSERT_NE(p, nullptr);
    const std::pair<double, double> cases[] = {{0.25, 0.25}, {2.0, 1.0}, {-3.0, 0.0}, {kNaN, 0.0}, {kInf, 0.0}};
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input);
        p->SetValueInBaseUnit(input);
        EXPECT_EQ(p->GetValueInBaseUnit(), expected);
    }
    EXPECT_FALSE(p->SetValueInBaseUnit(-kInf));
}

TEST_F(SetupModel, RegistersAndIntegersHoldTheNearestWholeNumber) {
    struct Case {
        ParameterKind kind;
        double input;
        double stored;
    };
    const Case cases[] = {
        {ParameterKind::Register, 24575.25, 24575}, {ParameterKind::Register, 2.5, 3},
        {ParameterKind::Register, -2.5, -3},        {ParameterKind::Register, 70000, 65535},
        {ParameterKind::Integer, 6.7, 7},           {ParameterKind::Real, 24575.25, 24575.25},
        {ParameterKind::Flag, 0.5, 0.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.kind)) + ": " + std::to_string(c.input));
        CMC_Setup setup;
        CMC_Parameter* p = setup.AddParameter("R", c.kind, UnitType::None, CMC_Units::Instance().BaseUnit(UnitType::None),
                                              0, -65536, 65535);
        EXPECT_TRUE(p->SetValueInBaseUnit(c.input));
        EXPECT_EQ(p->GetValueInBaseUnit(), c.stored);
    }
}

TEST_F(SetupModel, RangeChangesNeverInvertTheRangeAndKeepTheValueInside) {
    CMC_Setup setup;
    CMC_Parameter* p = setup.AddParameter("IlimPS", ParameterKind::Real, UnitType::Current,
                                          CMC_Units::Instance().BaseUnit(UnitType::Current), 5.0, 0.0, 10.0);
    EXPECT_FALSE(p->SetMinInBaseUnit(11.0));
    EXPECT_FALSE(p->SetMaxInBaseUnit(-1.0));
    EXPECT_FALSE(p->SetMaxInBaseUnit(kNaN));
    EXPECT_EQ(p->GetMinInBaseUnit(), 0.0);
    EXPECT_EQ(p->GetMaxInBaseUnit(), 10.0);
    EXPECT_TRUE(p->SetMaxInBaseUnit(4.0));
    EXPECT_EQ(p->GetValueInBaseUnit(), 4.0);
    EXPECT_TRUE(p->SetMinInBaseUnit(4.0));
    EXPECT_EQ(p->GetValueInBaseUnit(), 4.0);
}

// The plug-in's scale: internal = base / factor - offset. A factor of 0 means there is no scale.
double g_factor = 0.5;
double g_offset = 10.0;
double TestFactor(CMC_Setup*, const char*, const char*) { return g_factor; }
double TestOffset(CMC_Setup*, const char*) { return g_offset; }

TEST_F(SetupModel, InternalUnitsGoThroughThePluginsFactorAndOffset) {
    auto setup = MakeSetup({{"TEMP", 40, UnitType::Temperature}, {"PWMPER", 1500}});
    setup->SetScaleProvider({TestFactor, TestOffset});
    g_factor = 0.5;
    g_offset = 10.0;
    CMC_Parameter* temp = setup->FindParameter("TEMP");
    EXPECT_DOUBLE_EQ(temp->GetValueInInternalUnit(), 40 / 0.5 - 10);
    EXPECT_TRUE(temp->SetValueInInternalUnit(90));
    EXPECT_DOUBLE_EQ(temp->GetValueInBaseUnit(), (90 + 10) * 0.5);
    // Quantities without a unit are their own internal value.
    EXPECT_EQ(setup->GetParameterValueInInternalUnit("PWMPER"), 1500);

    g_factor = 0.0;
    EXPECT_FALSE(temp->SetValueInInternalUnit(90));
    EXPECT_DOUBLE_EQ(temp->GetValueInBaseUnit(), 50);
    EXPECT_EQ(temp->GetValueInInternalUnit(), 0.0);
    EXPECT_FALSE(TakeCollectedErrors().empty());
}

TEST_F(SetupModel, TheUnitOnShowConvertsTheDisplayNeverTheValue) {
    auto setup = MakeSetup({{"PolePitch", 0.032, UnitType::LinearPosition}});
    CMC_Parameter* p = setup->FindParameter("PolePitch");
    EXPECT_TRUE(p->ChangeUnit("mm"));
    EXPECT_STREQ(p->GetUnitName(), "mm");
    EXPECT_DOUBLE_EQ(p->GetValue(), 32.0);
    EXPECT_EQ(p->GetValueInBaseUnit(), 0.032);
    EXPECT_TRUE(p->SetValue(40.0));
    EXPECT_DOUBLE_EQ(p->GetValueInBaseUnit(), 0.04);
    EXPECT_FALSE(p->ChangeUnit("rpm"));
    EXPECT_STREQ(p->GetUnitName(), "mm");
    EXPECT_FALSE(p->SetValue(kNaN));
    EXPECT_DOUBLE_EQ(p->GetValueInBaseUnit(), 0.04);
}

TEST_F(SetupModel, UnitTypeChangeSwitchesFamilyMemberAndKeepsTheBaseValue) {
    auto setup = MakeSetup({{"ERR_position", 0.002, UnitType::LinearPosition}});
    CMC_Parameter* p = setup->FindParameter("ERR_position");
    EXPECT_TRUE(p->ChangeUnitType("rot"));
    EXPECT_EQ(p->GetUnitType(), UnitType::RotaryPosition);
    EXPECT_STREQ(p->GetUnitName(), "rot");
    EXPECT_EQ(p->GetValueInBaseUnit(), 0.002);
    EXPECT_EQ(p->GetScaleText(), "rad");
    EXPECT_FALSE(p->ChangeUnitType("A"));
    EXPECT_EQ(p->GetUnitType(), UnitType::RotaryPosition);
}

TEST_F(SetupModel, OptionsAreNamedStringsFoundWithoutRegardToCase) {
    CMC_Setup setup;
    setup.SetOption("IsClosedSpeed", "1");
    setup.SetOption("hasNegTransmission", "0");
    setup.SetOption("NewDeadBand", "1");
    setup.SetOption("isclosedspeed", "0");
    EXPECT_EQ(setup.GetOptionNoError("ISCLOSEDSPEED"), "0");
    EXPECT_EQ(setup.GetOptions().size(), 3u);
    EXPECT_EQ(setup.GetOptionNoError("absent"), "");

    const std::pair<const char*, int> ints[] = {{"12", 12}, {" 7", 7}, {"-3", -3}, {"+4", 4},
                                                {"5abc", 5}, {"abc", 0}, {"", 0}, {"99999999999", 0}};
    for (const auto& [text, value] : ints) {
        SCOPED_TRACE(text);
        setup.SetOption("n", text);
        EXPECT_EQ(setup.GetIntOption("n"), value);
    }
    EXPECT_EQ(setup.GetIntOption("absent"), 0);

    // Removing one option must leave the others reachable.
    setup.ClearOption("hasnegtransmission");
    EXPECT_EQ(setup.GetOptionNoError("hasNegTransmission"), "");
    EXPECT_EQ(setup.GetOptionNoError("NewDeadBand"), "1");
    EXPECT_EQ(setup.GetOptionNoError("n"), "99999999999");
    EXPECT_EQ(setup.GetOptionNoError("IsClosedSpeed"), "0");
    EXPECT_TRUE(TakeCollectedErrors().empty());
}

TEST_F(SetupModel, VariablesCannotBeReadWithoutADriveAndSaySo) {
    CMC_Setup setup;
    CMC_Variable* apos = setup.AddVariable("APOS", UnitType::LinearPosition,
                                           *CMC_Units::Instance().FindUnit(UnitType::LinearPosition, "mm"));
    ASSERT_NE(apos, nullptr);
    EXPECT_EQ(setup.AddVariable("apos", UnitType::None, CMC_Units::Instance().BaseUnit(UnitType::None)), nullptr);
    EXPECT_EQ(setup.FindVariable("Apos"), apos);
    EXPECT_EQ(apos->ReadFromChip(), 0);
    EXPECT_NE(std::string(GetLastErrorText()).find("APOS"), std::string::npos);
    apos->SetValueInInternalUnit(0.25);
    EXPECT_EQ(apos->PrintValue(), "250 mm");
    EXPECT_TRUE(apos->HasSelectedUnit());
    EXPECT_TRUE(apos->ChangeUnitType("rot"));
    EXPECT_EQ(apos->GetUnitType(), UnitType::RotaryPosition);
}

TEST_F(SetupModel, FirmwareIdIsRefusedUnlessWellFormed) {
    CMC_Setup setup;
    const std::pair<const char*, int> cases[] = {{"F900A", 1}, {"F123Z", 1}, {"", 0}, {"F90A", 0},
                                                 {"f900a", 0}, {"F900AB", 0}, {"X900A", 0}};
    for (const auto& [text, accepted] : cases) {
        SCOPED_TRACE(text);
        setup.SetFirmwareID("F000A");
        EXPECT_EQ(setup.SetFirmwareID(text), accepted);
        EXPECT_STREQ(setup.GetFirmwareID(), accepted ? text : "F000A");
    }
}

TEST_F(SetupModel, IoPinsMapBothWaysAndCountBrakeOutputs) {
    CMC_Setup setup;
    SetupIdentity identity;
    identity.ioPins = {{25, 3, false, true}, {28, 0, true, false}, {29, 1, true, true}};
    setup.SetIdentity(identity);
    EXPECT_EQ(setup.GetIOPinFromPort(25), 3);
    EXPECT_EQ(setup.GetIOPortFromPin(1), 29);
    EXPECT_EQ(setup.GetIOPinFromPort(99), -1);
    EXPECT_EQ(setup.GetIOPortFromPin(99), -1);
    EXPECT_EQ(setup.GetNumberOfBrakeOutputs(), 2);
    EXPECT_TRUE(setup.IsBrakePortEnable(29));
    EXPECT_FALSE(setup.IsBrakePortEnable(28));
    EXPECT_TRUE(setup.IsIOMC3PortInverted(28));
    EXPECT_FALSE(setup.IsIOMC3PortInverted(25));
}

TEST(HostFunctions, AdcFullScaleIsTheLeftAlignedMaximum) {
    const std::pair<int, std::uint32_t> cases[] = {{10, 65472}, {12, 65520}, {16, 65535}, {8, 65280}};
    for (const auto& [bits, fullScale] : cases) {
        CMC_Setup setup;
        SetupIdentity identity;
        identity.adcBits = bits;
        setup.SetIdentity(identity);
        SCOPED_TRACE(bits);
        EXPECT_EQ(Compute_ADCMaxValue(&setup), fullScale);
    }
}

TEST(HostFunctions, RoundingGoesHalfAwayFromZeroAndSaturates) {
    EXPECT_EQ(TG_Round(2.5), 3);
    EXPECT_EQ(TG_Round(-2.5), -3);
    EXPECT_EQ(TG_Round(1e300), LONG_MAX);
    EXPECT_EQ(TG_Round(-1e300), LONG_MIN);
    EXPECT_EQ(TG_Round(kNaN), 0);
    EXPECT_EQ(TG_FRound(-0.5), -1.0);
    EXPECT_EQ(RoundDecimalValue(1.23456, 2), 1.23);
    EXPECT_EQ(RoundDecimalValue(0.999999, 0), 1.0);
    EXPECT_EQ(RoundDecimalValue(-1.5, 0), -2.0);
    EXPECT_EQ(RoundDecimalValue(1e300, 10), 1e300);
}

}  // namespace
