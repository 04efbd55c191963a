// The simulated drive's speed: simulated seconds per wall second at 20 kHz PWM, with every loop
// of a tuning run closed (Hall commutation, current, speed and position loops, reference,
// protections, scope stream), and for comparison an open-loop run, an idle drive and a yardstick
// of the processor's clock.
#include "MC_Setup.h"
#include "MC_SetupFile.h"
#include "drivesim/Drive.h"
#include "drivesim/SimConfig.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using Registers = std::vector<std::pair<std::string, double>>;

Registers SetupRegisters(const drivesim::SimConfig& truth) {
    SetupLoadResult loaded = LoadDefaultSetup();
    if (!loaded) std::abort();
    Registers out;
    for (const auto& p : loaded.setup->GetParameters())
        if (p->GetKind() == ParameterKind::Register) out.emplace_back(p->GetName(), p->GetValueInBaseUnit());
    // The Halls calibrated to the truth, so that the closed loops commutate.
    constexpr double kCountsPerVolt = 65472.0 / 5.0;
    const char* offsets[] = {"HALLAOFF", "HALLBOFF", "HALLCOFF"};
    const char* gains[] = {"HALLAGAIN", "HALLBGAIN", "HALLCGAIN"};
    for (std::size_t k = 0; k < 3; ++k) {
        out.emplace_back(offsets[k], std::round(truth.halls.offset_V[k] * kCountsPerVolt));
        out.emplace_back(gains[k], std::round(16384.0 * 16384.0 / (truth.halls.amplitude_V[k] * kCountsPerVolt)));
    }
    out.emplace_back("ZAOFF", std::round(truth.halls.angle_deg / 360.0 * 65536.0));
    // The profile asks for more than the motor's nominal current on average: left at the setup's
    // limits, the I²t images would end the run after some simulated seconds. They keep running,
    // with limits out of reach.
    constexpr double kUnreachableI2tLimit = 4294967295.0;
    out.emplace_back("I2TINTLIM_M", kUnreachableI2tLimit);
    out.emplace_back("I2TINTLIM_D", kUnreachableI2tLimit);
    return out;
}

// A position profile there and back, replayed until stopped.
std::vector<drivesim::ProgramVariable> PositionProfile() {
    using drivesim::VarType;
    std::vector<drivesim::ProgramVariable> v = {
        {"RefTest", VarType::Int16, 0},       {"RIncTest", VarType::Int16, 0},  {"LimitSpeed_Test", VarType::Int32, 64},
        {"MultiC", VarType::Int16, 1},        {"Imax_Prot_Test", VarType::Int16, 7 * 4092},
        {"STARTED", VarType::Int16, 0},       {"test_flag", VarType::Int16, 1},
    };
    const double lengths[6] = {256, 1000, 256, 1000, 0, 0};
    const double steps[6] = {5 * 65536.0, 0, -5 * 65536.0, 0, 0, 0};
    for (int i = 0; i < 6; ++i) {
        v.push_back({"a" + std::to_string(i), VarType::UInt32, lengths[i]});
        v.push_back({"b" + std::to_string(i), VarType::Q16_16, steps[i]});
    }
    return v;
}

void RunFor(benchmark::State& state, drivesim::Drive& drive) {
    constexpr double kSimulated_s = 0.5;
    for (auto _ : state) {
        drive.AdvanceTo(drive.Time_s() + kSimulated_s);
        benchmark::DoNotOptimize(drive.TakeFrames());
    }
    state.counters["sim_s_per_wall_s"] =
        benchmark::Counter(kSimulated_s * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["pwm_periods"] = benchmark::Counter(kSimulated_s * 20000.0 * static_cast<double>(state.iterations()),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_AllLoopsClosed(benchmark::State& state) {
    const drivesim::SimConfig truth = drivesim::DefaultSimConfig();
    drivesim::Drive drive(truth);
    drive.Stop();
    if (!drive.WriteRegisters(SetupRegisters(truth)).ok()) std::abort();
    const drivesim::ScopeSettings scope{{"Target_Position", "Load_Position", "Speed_Reference", "Load_Speed"}, 1};
    if (!drive.Download("Position_Controller_Tuning_Test_with_SpdCtrl", PositionProfile(), std::nullopt, scope).ok())
        std::abort();
    if (!drive.Start().ok()) std::abort();
    RunFor(state, drive);
    if (!drive.Running())
        state.SkipWithError(("the tuning run ended, MER " + std::to_string(*drive.ReadVariable("MER").value) +
                             ", test_flag " + std::to_string(*drive.ReadProgramVariable("test_flag").value))
                                .c_str());
}
BENCHMARK(BM_AllLoopsClosed)->Unit(benchmark::kMillisecond);

void BM_OpenLoopVector(benchmark::State& state) {
    const drivesim::SimConfig truth = drivesim::DefaultSimConfig();
    drivesim::Drive drive(truth);
    drive.Stop();
    if (!drive.WriteRegisters(SetupRegisters(truth)).ok()) std::abort();
    // A Hall calibration that never ends: an open-loop vector turning once a second.
    const std::vector<drivesim::ProgramVariable> vars = {{"RefTest", drivesim::VarType::Int16, 6000},
                                                         {"RIncTest", drivesim::VarType::Int16, 100},
                                                         {"run_test", drivesim::VarType::Int16, 1}};
    if (!drive.Download("Detect_Hall_Gain_Offset_Test", vars, std::nullopt, std::nullopt).ok()) std::abort();
    if (!drive.Start().ok()) std::abort();
    RunFor(state, drive);
}
BENCHMARK(BM_OpenLoopVector)->Unit(benchmark::kMillisecond);

void BM_IdleDrive(benchmark::State& state) {
    drivesim::Drive drive(drivesim::DefaultSimConfig());
    RunFor(state, drive);
}
BENCHMARK(BM_IdleDrive)->Unit(benchmark::kMillisecond);

// The processor's clock as this process sees it: a chain of dependent double multiplications,
// which take 3 cycles each on the x86-64 cores measured here (4 on some). A virtual machine's
// clock moves with its host's load; a PWM period's time divided by this one's gives its cycles,
// which do not.
void BM_ClockYardstick(benchmark::State& state) {
    constexpr int kChain = 1'000'000;
    double factor = 1.0000001;
    benchmark::DoNotOptimize(factor);
    double x = 1.0;
    for (auto _ : state) {
        for (int i = 0; i < kChain; ++i) x *= factor;
        benchmark::DoNotOptimize(x);
    }
    state.counters["multiplications"] = benchmark::Counter(static_cast<double>(kChain) * static_cast<double>(state.iterations()),
                                                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ClockYardstick)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
