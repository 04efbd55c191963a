// The tuning programs: the reference profile exactly as its segments encode it, runs that end by
// themselves or at the host's Stop, the logger and the scope stream.
#include "DriveTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using namespace drivesim_test;


Registers CalibratedHallsOf(const drivesim::SimConfig& truth) {
    // The truth's calibration, as the Hall test would find it (it is checked elsewhere).
    constexpr double kCountsPerVolt = 65472.0 / 5.0;
    const auto& h = truth.halls;
    Registers r;
    const char* offsets[] = {"HALLAOFF", "HALLBOFF", "HALLCOFF"};
    const char* gains[] = {"HALLAGAIN", "HALLBGAIN", "HALLCGAIN"};
    for (std::size_t k = 0; k < 3; ++k) {
        r.emplace_back(offsets[k], std::round(h.offset_V[k] * kCountsPerVolt));
        r.emplace_back(gains[k], std::round(16384.0 * 16384.0 / (h.amplitude_V[k] * kCountsPerVolt)));
    }
    r.emplace_back("ZAOFF", std::round(h.angle_deg / 360.0 * 65536.0));
    r.emplace_back("ALPHA", 0.0);
    return r;
}

struct Profile {
    std::map<std::string, double> presets;
    std::vector<double> expected;  // the reference, sample by sample
};

// Up by `step` per sample for `ramp` samples, hold, and back down to 0; `bothWays` goes on to
// −A and back, so that a speed profile ends where it started.
Profile Trapezoid(double step, int ramp, int hold, bool bothWays = false) {
    Profile p;
    const double raw = step * 65536.0;
    const double lengths[6] = {double(ramp), double(hold), double(bothWays ? 2 * ramp : ramp), bothWays ? double(hold) : 0,
                               bothWays ? double(ramp) : 0, 0};
    const double increments[6] = {raw, 0, -raw, 0, raw, 0};
    for (int i = 0; i < 6; ++i) {
        p.presets["a" + std::to_string(i)] = lengths[i];
        p.presets["b" + std::to_string(i)] = increments[i];
    }
    double acc = 0.0;
    for (int i = 0; i < 6; ++i)
        for (int k = 0; k < lengths[i]; ++k) p.expected.push_back(std::floor((acc += increments[i]) / 65536.0));
    return p;
}

TEST(TuningPrograms, SingleCycleFollowsTheProfileAndEndsWithAFullLog) {
    struct Case {
        const char* program;
        const char* limitName;
        double limit;
        const char* referenceVariable;
        double step;
    };
    const Case cases[] = {
        {"Speed_Controller_Tuning_Test", "IlimPS_Test", 2.0 * 4092, "Speed_Reference", 0.25},
        {"Position_Controller_Tuning_Test_with_SpdCtrl", "LimitSpeed_Test", 64, "Target_Position", 5.0},
        {"Position_Controller_Tuning_Test_without_SpdCtrl", "IlimPS_Test", 2.0 * 4092, "Target_Position", 5.0},
    };
    for (const Case& c : cases) {
        const drivesim::SimConfig truth = drivesim::DefaultSimConfig();
        drivesim::Drive drive(truth);
        Profile profile = Trapezoid(c.step, 128, 400);
        RunOptions options = WithPresets(profile.presets);
        options.presets[c.limitName] = c.limit;
        // The default gains ring (the speed design is PolePitch times too small): room for it.
        options.presets["Imax_Prot_Test"] = 7.0 * kCountsPerAmp;
        options.extra_registers = CalibratedHallsOf(truth);
        options.logger = drivesim::LoggerSettings{2000, 1, 1, {c.referenceVariable, "Load_Speed", "Current_Reference"}};
        std::string error;
        ASSERT_TRUE(RunProgram(drive, c.program, options, &error)) << c.program << error;
        EXPECT_EQ(ProgramVariable(drive, "test_flag"), 1.0) << c.program;
        EXPECT_EQ(static_cast<int>(Variable(drive, "MER")) & ~(1 << 3), 0) << c.program;
        if (static_cast<int>(Variable(drive, "MER")) != 0) continue;  // a control-error trip empties the log
        auto log = drive.UploadLog();
        ASSERT_TRUE(log.ok()) << c.program << ": " << log.error;
        ASSERT_EQ(log.value->size(), 2000u) << c.program;
        // The position programs log the target itself; the speed program the reference, which its
        // (unset) biquads pass unchanged.
        for (std::size_t k = 0; k < profile.expected.size(); ++k)
            ASSERT_EQ(log.value->at(k).values[0], profile.expected[k]) << c.program << ", sample " << k;
        EXPECT_EQ(log.value->back().values[0], 0.0) << c.program;
        EXPECT_NEAR(log.value->at(1).time_s - log.value->at(0).time_s, 500e-6, 1e-12) << c.program;
    }
}

TEST(TuningPrograms, MultiCycleRunsUntilStopAndStreamsScopeFrames) {
    const drivesim::SimConfig truth = drivesim::DefaultSimConfig();
    drivesim::Drive drive(truth);
    Profile profile = Trapezoid(0.25, 128, 200, true);
    profile.presets["MultiC"] = 1;
    profile.presets["IlimPS_Test"] = 2.0 * 4092;
    profile.presets["Imax_Prot_Test"] = 7.0 * kCountsPerAmp;
    drive.Stop();
    Registers registers = DefaultRegisters();
    for (const auto& r : CalibratedHallsOf(truth)) registers.push_back(r);
    ASSERT_TRUE(drive.WriteRegisters(registers).ok());
    ASSERT_TRUE(drive
                    .Download("Speed_Controller_Tuning_Test",
                              ImageVariables("Speed_Controller_Tuning_Test", profile.presets), std::nullopt,
                              drivesim::ScopeSettings{{"Speed_Reference", "Load_Speed", "Current_Reference", "Motor_Current"}, 2})
                    .ok());
    ASSERT_TRUE(drive.Start().ok());
    std::vector<std::vector<std::uint8_t>> frames;
    for (int k = 0; k < 2500; ++k) {  // 50 s: past the single-cycle length and any watchdog
        drive.AdvanceTo(drive.Time_s() + 0.02);
        for (auto& f : drive.TakeFrames()) frames.push_back(std::move(f));
    }
    EXPECT_TRUE(drive.Running());
    EXPECT_TRUE(drive.AxisOn());
    drive.Stop();
    for (auto& f : drive.TakeFrames()) frames.push_back(std::move(f));
    EXPECT_FALSE(drive.AxisOn());
    ASSERT_GT(frames.size(), 100u);
    auto word = [](const std::vector<std::uint8_t>& f, std::size_t i) {
        return static_cast<unsigned>(f[2 * i] | (f[2 * i + 1] << 8));
    };
    std::size_t records = 0;
    for (std::size_t n = 0; n < frames.size(); ++n) {
        const auto& f = frames[n];
        ASSERT_GE(f.size(), 10u) << "frame " << n;
        EXPECT_EQ(word(f, 2), 0xE900u) << "frame " << n;
        EXPECT_EQ(word(f, 3), n & 0xFFFF) << "sequence of frame " << n;
        const unsigned count = word(f, 4);
        EXPECT_EQ(word(f, 0), 2u + 2u * 4u * count) << "length of frame " << n;
        EXPECT_EQ(f.size(), 6u + 2u * word(f, 0)) << "frame " << n;
        EXPECT_LE(count, 64u) << "frame " << n;
        EXPECT_EQ(count == 0, n + 1 == frames.size()) << "only the last frame ends the recording, frame " << n;
        records += count;
    }
    // Every second slow sample over 50 s.
    EXPECT_NEAR(static_cast<double>(records), 50.0 / 500e-6 / 2.0, 2.0);
}

TEST(TuningPrograms, CurrentAboveTheProtectionClearsTestFlag) {
    const drivesim::SimConfig truth = drivesim::DefaultSimConfig();
    drivesim::Drive drive(truth);
    Profile profile = Trapezoid(0.5, 128, 400);
    RunOptions options = WithPresets(profile.presets);
    options.presets["IlimPS_Test"] = 2.0 * 4092;
    options.presets["Imax_Prot_Test"] = 0.1 * kCountsPerAmp;
    options.extra_registers = CalibratedHallsOf(truth);
    std::string error;
    ASSERT_TRUE(RunProgram(drive, "Speed_Controller_Tuning_Test", options, &error)) << error;
    EXPECT_EQ(ProgramVariable(drive, "test_flag"), 0.0);
    EXPECT_FALSE(drive.AxisOn());
}

TEST(AnalogueReference, InputIsReadUntilStoppedWithTheAxisOff) {
    for (double volts : {-10.0, -2.5, 0.0, 7.3, 10.0}) {
        drivesim::SimConfig truth = drivesim::DefaultSimConfig();
        truth.drive.analogue_input_V = volts;
        drivesim::Drive drive(truth);
        drive.Stop();
        ASSERT_TRUE(drive.WriteRegisters(DefaultRegisters()).ok());
        ASSERT_TRUE(drive.Download("Analogue_Reference_Test", {}, std::nullopt, std::nullopt).ok());
        ASSERT_TRUE(drive.Start().ok());
        drive.AdvanceTo(drive.Time_s() + 60.0);
        EXPECT_TRUE(drive.Running()) << "ended by the host only";
        EXPECT_FALSE(drive.AxisOn());
        // As the test shows it: (high − low)·AD5/65472 + low, within one ADC step.
        const double shown = 20.0 * Variable(drive, "AD5") / 65472.0 - 10.0;
        EXPECT_NEAR(shown, volts, 20.0 / 1023.0) << volts << " V";
        drive.Stop();
        EXPECT_FALSE(drive.Running());
    }
}

}  // namespace
