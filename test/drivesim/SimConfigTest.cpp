// Simulator files: every fault names the file, the place and what is wrong; good files load.
#include "DriveTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

TEST(SimConfig, MalformedFilesAreRefusedWithPlaceAndFault) {
    struct Case {
        const char* text;
        const char* place;
        const char* fault;
    };
    const Case cases[] = {
        {R"({"motor": {"R_ohm": -1}})", "/motor/R_ohm", "must be positive"},
        {R"({"motor": {"L_H": 20}})", "/motor/L_H", "must lie between"},
        {R"({"motor": {"R_ohm": "3"}})", "/motor/R_ohm", "must be a number"},
        {R"({"motor": {"Rohm": 3}})", "/motor/Rohm", "unknown key"},
        {R"({"motr": {}})", "/motr", "unknown key"},
        {R"({"motor": {"connection": "wye"}})", "/motor/connection", "star"},
        {R"({"motor": {"stroke_min_m": 0.5}})", "/motor/stroke_max_m", "above"},
        {R"({"motor": {"transmission": 0}})", "/motor/transmission", "not be 0"},
        {R"({"halls": {"offset_V": [2.5, 2.5]}})", "/halls/offset_V", "three numbers"},
        {R"({"halls": {"amplitude_V": [1, 1, 9]}})", "/halls/amplitude_V/2", "out of range"},
        {R"({"faults": {"open_phase": "D"}})", "/faults/open_phase", "\"A\""},
        {R"({"faults": {"swapped_halls": "AA"}})", "/faults/swapped_halls", "\"AB\""},
        {R"({"faults": {"short_circuit_at_s": -2}})", "/faults/short_circuit_at_s", "time"},
        {R"({"faults": {"enable_inactive": 1}})", "/faults/enable_inactive", "true or false"},
        {R"({"faults": {"drive_over_temperature": "yes"}})", "/faults/drive_over_temperature", "true or false"},
        {R"({"drive": {"ambient_C": 40, "heatsink_trip_C": 30}})", "/drive/heatsink_trip_C", "above ambient_C"},
        {R"({"drive": {"heatsink_tau_s": 0}})", "/drive/heatsink_tau_s", "must be positive"},
        {R"({"supply": {"Vdc_V": 1e400}})", "sim.json: malformed JSON", "overflow"},
        {"{\n  \"motor\": {\n    \"R_ohm\": 3,\n  }\n}", "sim.json:4:", "malformed JSON"},
        {R"([1, 2])", "/", "must be an object"},
        {R"({"format": "other"})", "/format", "pelmora-sim"},
    };
    for (const Case& c : cases) {
        const auto result = drivesim::ParseSimConfig(c.text, "sim.json");
        ASSERT_FALSE(result.ok()) << c.text;
        EXPECT_NE(result.error.find("sim.json"), std::string::npos) << c.text << " → " << result.error;
        EXPECT_NE(result.error.find(c.place), std::string::npos) << c.text << " → " << result.error;
        EXPECT_NE(result.error.find(c.fault), std::string::npos) << c.text << " → " << result.error;
    }
}

TEST(SimConfig, FileSettingsReplaceTheDefaultsAndTheRestStays) {
    const auto result = drivesim::ParseSimConfig(
        R"({"motor": {"L_H": 0.02, "connection": "delta"}, "drive": {"heatsink_tau_s": 60},
            "faults": {"swapped_phases": "CB", "link_drop_at_s": 3, "drive_over_temperature": true}})",
        "sim.json");
    ASSERT_TRUE(result.ok()) << result.error;
    const drivesim::SimConfig& c = *result.value;
    const drivesim::SimConfig d = drivesim::DefaultSimConfig();
    EXPECT_EQ(c.motor.L_H, 0.02);
    EXPECT_EQ(c.motor.connection, drivesim::Connection::Delta);
    EXPECT_EQ(c.faults.swapped_phases, drivesim::PhasePair::BC);
    EXPECT_EQ(c.faults.link_drop_at_s, 3.0);
    EXPECT_EQ(c.drive.heatsink_tau_s, 60.0);
    EXPECT_TRUE(c.faults.drive_over_temperature);
    EXPECT_EQ(c.drive.heatsink_trip_C, d.drive.heatsink_trip_C);
    EXPECT_EQ(c.motor.R_ohm, d.motor.R_ohm);
    EXPECT_EQ(c.Vdc_V, d.Vdc_V);
}

TEST(SimConfig, ShippedMotorsLoadAndDifferWhereTheirNamesSay) {
    struct Case {
        const char* file;
        bool (*holds)(const drivesim::SimConfig&);
    };
    const Case cases[] = {
        {"winding_10uH.json", [](const drivesim::SimConfig& c) { return c.motor.L_H == 10e-6; }},
        {"winding_1H.json", [](const drivesim::SimConfig& c) { return c.motor.L_H == 1.0; }},
        {"delta.json", [](const drivesim::SimConfig& c) { return c.motor.connection == drivesim::Connection::Delta; }},
        {"heavy_load_friction.json",
         [](const drivesim::SimConfig& c) { return c.motor.load_mass_kg > 5.0 && c.motor.coulomb_N >= 5.0; }},
        {"reversed_transmission.json", [](const drivesim::SimConfig& c) { return c.motor.transmission < 0.0; }},
    };
    for (const Case& c : cases) EXPECT_TRUE(c.holds(drivesim_test::MotorFile(c.file))) << c.file;
}

TEST(SimConfig, MissingFileIsRefusedWithItsPath) {
    const auto result = drivesim::LoadSimConfig("/nonexistent/sim.json");
    ASSERT_FALSE(result.ok());
    EXPECT_NE(result.error.find("/nonexistent/sim.json"), std::string::npos) << result.error;
}

TEST(SimConfig, DefaultMotorDiffersFromTheSetupByAFewPerCent) {
    const drivesim::SimConfig c = drivesim::DefaultSimConfig();
    // The default setup's nameplate: 3 Ω, 1.5 mH, 20 N/A, 1.5 kg, 48 V.
    const std::pair<double, double> pairs[] = {{c.motor.R_ohm, 3.0}, {c.motor.L_H, 1.5e-3},
                                               {c.motor.Kf_N_per_A, 20.0},
                                               {c.motor.moving_mass_kg + c.motor.load_mass_kg, 1.5},
                                               {c.Vdc_V, 48.0}};
    for (const auto& [truth, nameplate] : pairs) {
        const double off = std::abs(truth / nameplate - 1.0);
        EXPECT_GT(off, 0.005) << truth << " vs " << nameplate;
        EXPECT_LT(off, 0.06) << truth << " vs " << nameplate;
    }
}

}  // namespace
