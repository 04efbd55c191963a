#include "ShownValue.h"

#include "MC_SetupFile.h"
#include "TestSetup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace testing_support;
using namespace pelmora;

namespace {

std::unique_ptr<CMC_Setup> DefaultSetup() {
    SetupLoadResult loaded = LoadDefaultSetup();
    EXPECT_TRUE(loaded) << loaded.error;
    AttachCoreScales(*loaded.setup);
    return std::move(loaded.setup);
}

struct ShownCase {
    const char* name;
    int digits;
    const char* expected;
};

// The default setup holds what its registers decode to; a person typed the short values.
TEST(ShownValueText, RegisterNoiseIsLeftOut) {
    const auto setup = DefaultSetup();
    const ShownCase cases[] = {
        {"StartCurrent", kFieldDigits, "80"},   {"Kp_P_scl", kFieldDigits, "0.06"}, {"filter_D", kFieldDigits, "0.5"},
        {"Vbrake", kFieldDigits, "70"},         {"t_I2t_D", kFieldDigits, "10"},    {"t_I2t_M", kFieldDigits, "10"},
        {"StartCurrent", kListingDigits, "80"}, {"Vbrake", kListingDigits, "70"},
    };
    for (const ShownCase& c : cases) {
        EXPECT_EQ(ShownValueText(*setup, c.name, c.digits), c.expected) << c.name << " at " << c.digits << " digits";
    }
}

// Values no register quantises keep what reads back (up to the field's six digits), and integers,
// selectors and registers show as they are.
TEST(ShownValueText, UnquantisedValuesReadBack) {
    auto setup = DefaultSetup();
    {
        CMC_QuietErrors quiet;
        ASSERT_TRUE(setup->FindParameter("PB_C")->SetValueInBaseUnit(4123.4567));
    }
    const ShownCase cases[] = {
        {"PB_C", kFieldDigits, "4123.46"},    {"PB_C", kListingDigits, "4123.4567"},
        {"Resolution", kFieldDigits, "4096"}, {"DSP_freq", kListingDigits, "60000000"},
        {"PWMperiod", kListingDigits, "50"},  {"Ts_S", kFieldDigits, "0.5"},
        {"PWMPER", kFieldDigits, "1500"},
    };
    for (const ShownCase& c : cases) {
        EXPECT_EQ(ShownValueText(*setup, c.name, c.digits), c.expected) << c.name << " at " << c.digits << " digits";
    }
}

// A value the registers hold exactly shows as typed, never shortened to a neighbour.
TEST(ShownValueText, TypedValueTheRegistersHoldShowsAsTyped) {
    auto setup = DefaultSetup();
    CMC_QuietErrors quiet;
    const std::vector<std::pair<const char*, double>> typed = {{"StartCurrent", 50.0}, {"Vbrake", 65.5}};
    for (const auto& [name, shown] : typed) {
        ASSERT_TRUE(setup->FindParameter(name)->SetValue(shown));
        const std::string text = ShownValueText(*setup, name, kFieldDigits);
        EXPECT_DOUBLE_EQ(std::stod(text), shown) << name << " shows " << text;
    }
}

// Working out the text changes nothing in the setup: every value and range is as before.
TEST(ShownValueText, LeavesTheSetupUntouched) {
    const auto setup = DefaultSetup();
    TakeCollectedErrors();
    const auto before = setup->SaveParameterStates();
    for (const auto& p : setup->GetParameters()) ShownValueText(*setup, p->GetName(), kFieldDigits);
    const auto after = setup->SaveParameterStates();
    ASSERT_EQ(before.size(), after.size());
    int i = 0;
    for (const auto& p : setup->GetParameters()) {
        const auto k = static_cast<std::size_t>(i++);
        EXPECT_EQ(before[k].value, after[k].value) << p->GetName();
        EXPECT_EQ(before[k].min, after[k].min) << p->GetName();
        EXPECT_EQ(before[k].max, after[k].max) << p->GetName();
    }
    const std::vector<std::string> errors = TakeCollectedErrors();
    EXPECT_TRUE(errors.empty()) << (errors.empty() ? "" : errors.front());
    EXPECT_EQ(ShownValueText(*setup, "NoSuchParameter", kFieldDigits), "");
}

}  // namespace
