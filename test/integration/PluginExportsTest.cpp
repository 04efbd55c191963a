#include "BaseQuantities.h"
#include "MC_SetupFile.h"
#include "PluginLibrary.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
    std::set<std::string> names;
    const std::string command = "nm -D --defined-only '" + library + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return names;
    std::array<char, 512> line{};
    while (fgets(line.data(), static_cast<int>(line.size()), pipe)) {
        std::istringstream fields(line.data());
        std::string address, type, name;
        if (fields >> address >> type >> name) names.insert(name);
    }
    pclose(pipe);
    return names;
}

class PluginExports : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_plugin.Load(PELMORA_PLUGIN_PATH)) << m_plugin.Error(); }
    PluginLibrary m_plugin;
};

TEST_F(PluginExports, TheLibraryExportsExactlyTheFiveEntryPoints) {
    const std::set<std::string> expected = {"EditSetup", "ComputeAllOptions", "GetScaleFactor", "GetScaleOffset",
                                            "g_bVovSinusoidalMode"};
    EXPECT_EQ(DefinedDynamicSymbols(PELMORA_PLUGIN_PATH), expected);
}

TEST_F(PluginExports, TheFlagIsZeroAfterLoading) { EXPECT_EQ(*m_plugin.VovSinusoidalMode, 0); }

TEST_F(PluginExports, ScaleFactorsThroughTheExportsMatchTheCore) {
    SetupLoadResult loaded = LoadDefaultSetup();
    ASSERT_TRUE(loaded) << loaded.error;
    CMC_Setup& setup = *loaded.setup;
    m_plugin.Attach(setup);
    const std::pair<const char*, const char*> cases[] = {
        {"V ", "Vdc"},          {"V", "AD5"},          {"V", "UQREF"},          {"A", "IQ"},
        {"s", "Ts_C"},          {"s", "TPS"},          {"rad", "APOS_MT"},      {"rad", "THTST"},
        {"m", "ERR_position"},  {"m", "APOS"},         {"rad/s", "Motor_Speed"}, {"rad/s", "TINCTST"},
        {"m/s", "Limit_Speed"}, {"m/s^2", "CACC"},     {"m/s^3", "JERK"},       {"°C", "TEMP"},
        {"V/s", "x"},           {"A/s", "x"},          {"Nm", "x"},
    };
    for (const auto& [unit, name] : cases) {
        SCOPED_TRACE(std::string(unit) + " " + name);
        EXPECT_EQ(m_plugin.GetScaleFactor(&setup, unit, name), pelmora::ScaleFactor(setup, unit, name));
        EXPECT_EQ(m_plugin.GetScaleOffset(&setup, unit), pelmora::ScaleOffset(setup, unit));
    }
    // The host converts through the same factors once the plug-in is attached.
    const CMC_Parameter* limit = setup.FindParameter("Limit_Speed");
    EXPECT_DOUBLE_EQ(limit->GetValueInInternalUnit() * pelmora::ScaleFactor(setup, "m/s", "Limit_Speed"),
                     limit->GetValueInBaseUnit());
}

TEST_F(PluginExports, EntryPointsTolerateANullSetup) {
    m_plugin.ComputeAllOptions(nullptr);
    EXPECT_EQ(m_plugin.EditSetup(nullptr), 0);
    EXPECT_EQ(m_plugin.GetScaleFactor(nullptr, "A", "IQ"), 1.0);
    EXPECT_EQ(m_plugin.GetScaleOffset(nullptr, "°C"), 0.0);
    EXPECT_EQ(*m_plugin.VovSinusoidalMode, 0);
}

TEST(PluginLoading, AMissingLibraryIsAClearError) {
    PluginLibrary plugin;
    EXPECT_FALSE(plugin.Load("/nonexistent/libPelmora.so"));
    EXPECT_NE(plugin.Error().find("/nonexistent/libPelmora.so"), std::string::npos);
}

}  // namespace

namespace {

TEST(PluginComputeAllOptions, BringsTheOptionsInStepWithTheRegisters) {
    PluginLibrary plugin;
    ASSERT_TRUE(plugin.Load(PELMORA_PLUGIN_PATH)) << plugin.Error();
    SetupLoadResult loaded = LoadDefaultSetup();
    ASSERT_TRUE(loaded) << loaded.error;
    CMC_Setup& setup = *loaded.setup;
    plugin.Attach(setup);
    // Speed mode in the axis control register: the options follow it.
    setup.FindParameter("ACR")->SetValueInBaseUnit(0x0300);
    TakeCollectedErrors();
    plugin.ComputeAllOptions(&setup);
    EXPECT_TRUE(TakeCollectedErrors().empty());
    EXPECT_EQ(setup.GetParameterValueInBaseUnit("ControlMode"), 1);
    EXPECT_EQ(setup.GetOptionNoError("IsClosedPosition"), "0");
    EXPECT_EQ(setup.GetOptionNoError("IsClosedSpeed"), "1");
    EXPECT_EQ(*plugin.VovSinusoidalMode, 0);
}

}  // namespace
