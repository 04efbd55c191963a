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

// A bidirectional table has no correction after its first ramp: the 16.16 accumulator holds a
// fraction above or below ±A on its plateaus. The integer part is taken toward zero, so the two
// plateaus mirror each other and a cycle brings the mover back (a floor held −A−1 against +A).
TEST(TuningPrograms, BidirectionalPlateausMirrorEachOtherWhateverTheFirstRampsRounding) {
    struct Case {
        const char* name;
        std::int64_t rampSamples, firstSlope;  // the first ramp towards A = 32, slope in 16.16
        double plateau;                        // what both plateaus hold, in magnitude
    };
    const Case cases[] = {
        {"first ramp ends 48/65536 above A", 50, 41944, 32.0},
        {"first ramp ends 2/65536 below A", 50, 41943, 31.0},
        {"first ramp ends exactly at A", 64, 32768, 32.0},
    };
    constexpr double kAmplitude = 32.0;
    constexpr double kOne = 65536.0;
    constexpr std::int64_t kHold = 400;
    for (const Case& c : cases) {
        // The table as the host builds it for the bidirectional type.
        const std::int64_t a[6] = {c.rampSamples, kHold, 2 * c.rampSamples, kHold, c.rampSamples - 1, 1};
        std::int64_t b[6] = {c.firstSlope, 0, 0, 0, 0, 0};
        const double firstEnd = static_cast<double>(c.firstSlope * c.rampSamples) / kOne;
        b[2] = static_cast<std::int64_t>(std::floor(-(firstEnd + kAmplitude) / static_cast<double>(a[2]) * kOne + 0.5));
        b[4] = static_cast<std::int64_t>(std::floor(kAmplitude / static_cast<double>(a[4]) * kOne + 0.5));
        b[5] = -(b[0] * a[0] + b[2] * a[2] + b[4] * a[4]);
        std::map<std::string, double> presets;
        for (int i = 0; i < 6; ++i) {
            presets["a" + std::to_string(i)] = static_cast<double>(a[i]);
            presets["b" + std::to_string(i)] = static_cast<double>(b[i]);
        }
        const drivesim::SimConfig truth = drivesim::DefaultSimConfig();
        drivesim::Drive drive(truth);
        RunOptions options = WithPresets(presets);
        options.presets["IlimPS_Test"] = 2.0 * 4092;
        options.presets["Imax_Prot_Test"] = 7.0 * kCountsPerAmp;
        options.extra_registers = CalibratedHallsOf(truth);
        options.logger = drivesim::LoggerSettings{2000, 1, 1, {"Speed_Reference"}};
        std::string error;
        ASSERT_TRUE(RunProgram(drive, "Speed_Controller_Tuning_Test", options, &error)) << c.name << ": " << error;
        auto log = drive.UploadLog();
        ASSERT_TRUE(log.ok()) << c.name << ": " << log.error;
        double highest = 0.0, lowest = 0.0;
        for (const auto& record : *log.value) {
            highest = std::max(highest, record.values[0]);
            lowest = std::min(lowest, record.values[0]);
        }
        EXPECT_EQ(highest, c.plateau) << c.name;
        EXPECT_EQ(lowest, -c.plateau) << c.name;
        EXPECT_EQ(log.value->back().values[0], 0.0) << c.name << ": the profile does not end at zero";
    }
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

namespace {

// Values go out as 32-bit two's complement, low word first, each word low byte first: a speed
// profile both ways shows both signs, each within the 15-bit range of what it streams.
TEST(TuningPrograms, ScopeValuesKeepTheirSignAndSizeInTheFrames) {
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
    const std::vector<std::string> names = {"Speed_Reference", "Current_Reference"};
    ASSERT_TRUE(drive
                    .Download("Speed_Controller_Tuning_Test",
                              ImageVariables("Speed_Controller_Tuning_Test", profile.presets), std::nullopt,
                              drivesim::ScopeSettings{names, 1})
                    .ok());
    ASSERT_TRUE(drive.Start().ok());
    drive.AdvanceTo(drive.Time_s() + 1.0);
    const auto frames = drive.TakeFrames();
    ASSERT_FALSE(frames.empty());
    std::vector<std::int32_t> lowest(names.size(), 0), highest(names.size(), 0);
    for (std::size_t n = 0; n < frames.size(); ++n) {
        const auto& f = frames[n];
        ASSERT_GE(f.size(), 10u) << "frame " << n;
        const unsigned records = static_cast<unsigned>(f[8] | (f[9] << 8));
        ASSERT_EQ(f.size(), 10u + 4u * names.size() * records) << "frame " << n;
        for (std::size_t i = 0; i < names.size() * records; ++i) {
            const std::uint8_t* b = f.data() + 10 + 4 * i;
            const auto value = static_cast<std::int32_t>(static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
                                                         (static_cast<std::uint32_t>(b[2]) << 16) |
                                                         (static_cast<std::uint32_t>(b[3]) << 24));
            const std::size_t column = i % names.size();
            EXPECT_LE(std::abs(value), 32767) << names[column] << " in frame " << n << ", value " << i;
            lowest[column] = std::min(lowest[column], value);
            highest[column] = std::max(highest[column], value);
        }
    }
    for (std::size_t c = 0; c < names.size(); ++c) {
        EXPECT_LT(lowest[c], 0) << names[c];
        EXPECT_GT(highest[c], 0) << names[c];
    }
}

}  // namespace
