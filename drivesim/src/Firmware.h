// The drive's firmware: registers, drive variables, sampling, modulator, protections, the data
// logger and the scope stream, and the program that runs on them.
#pragma once

#include "FixedPoint.h"
#include "Plant.h"
#include "drivesim/Drive.h"
#include "drivesim/SimConfig.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drivesim::detail {

// Drive variables: firmware globals the host reads by name.
enum class Var : int {
    MER, REFTST_V, RINCTST_V, AD3, AD5, AD6, AD8, AD9, WEAKINC, AD6OFF, AD3OFF, SFTCWEAK, SRECTCOMP,
    SIN2REC, KSLIP, ZAOFF, ALPHA, var_i1, var_i2, var_u2, TINCTST, THTST, IQ, ID, Current_Reference,
    Motor_Current, Voltage_Reference, Speed_Reference, Load_Speed, Target_Position, Load_Position,
    Motor_Position, Motor_Speed, Position_Error, Count
};
inline constexpr int kVarCount = static_cast<int>(Var::Count);
inline constexpr std::array<std::string_view, kVarCount> kVarNames{
    "MER", "REFTST_V", "RINCTST_V", "AD3", "AD5", "AD6", "AD8", "AD9", "WEAKINC", "AD6OFF", "AD3OFF", "SFTCWEAK",
    "SRECTCOMP", "SIN2REC", "KSLIP", "ZAOFF", "ALPHA", "var_i1", "var_i2", "var_u2", "TINCTST", "THTST", "IQ", "ID",
    "Current_Reference", "Motor_Current", "Voltage_Reference", "Speed_Reference", "Load_Speed", "Target_Position",
    "Load_Position", "Motor_Position", "Motor_Speed", "Position_Error"};

// The registers the firmware reads, resolved from their names once, when written.
struct Registers {
    std::int32_t pwmper = 1500, clper = 1, slper = 10, dbt = 30840, dbtth = 4;
    std::int32_t satid = 2621, satiq = 2621, filterq = 32767, ffl = 0;
    std::int32_t kpi = 0, sftkpi = 0, kii = 0, sftkii = 0;
    std::int32_t kps = 0, sftkps = 0, kis = 0, sftkis = 0, imaxs = 0, sats = 0;
    std::int32_t kpp = 0, sftkpp = 0, kip = 0, sftkip = 0, kdp = 0, sftkdp = 0, kdfp = 32767, imaxp = 0, satp = 0;
    std::int32_t kffs = 0, sftsffw = 0, kffa = 0, sftaffw = 0, sftkff = 0;
    std::int32_t imaxprot = 32767, timaxprot = 65535, errmax = 32767, terrmax = 65535, serrmax = 32767,
                 tserrmax = 65535;
    std::int32_t pcr = 0, acr = 0, asr = 0, osr = 0, upgrade = 0, digin = 0x8000;
    std::int32_t t1ona = 50, t1onb = 50, reftst = 0, rinctst = 0;
    std::int32_t hall_off[3] = {32736, 32736, 32736};
    std::int32_t hall_gain[3] = {16384, 16384, 16384};
    std::int32_t alpha = 0, zaoff = 0;
    std::int32_t ad5off = 0, cadin = 0, sftadin = 0, filter1 = 32767, level_ad5 = 32736, e_level_ad5 = 0;
    std::int32_t bq_counts[3] = {0, 0, 0};
    std::int32_t bq[3][6] = {};
    std::int32_t minmove = 0;
    // Bus protections in bus ADC counts; the I²t images' nominal currents (current counts) and
    // time scales, the motor's first, then the drive's. Their limits exceed 32 bits.
    std::int32_t umaxprot = 65535, uminprot = 0;
    std::int32_t ii2tprot[2] = {32767, 32767};
    std::int32_t sfi2t[2] = {0, 0};
    double i2tintlim[2] = {0.0, 0.0};
};

// A program variable as downloaded: the preset and the live value.
struct ProgramVar {
    std::string name;
    VarType type = VarType::Int16;
    double preset = 0.0;
    double value = 0.0;
};

class Firmware;

// Modulator: a voltage count of 1 is 1.1/65534 of the bus.
inline constexpr double kDutyPerVoltageCount = regmap::kVoltageBusFraction / regmap::kVoltageCountSpan;

// A drive program: a state machine on the current-loop and slow-loop samples.
class Program {
public:
    virtual ~Program() = default;
    virtual bool UsesPowerStage() const { return true; }
    virtual void Begin(Firmware&) {}
    virtual void Fast(Firmware&) {}
    virtual void Slow(Firmware&) {}
    // A protection or the watchdog ended the run: report it through the program's outputs.
    virtual void Abort(Firmware&) {}
    // Watchdog: the run ends by itself at the latest this long after its start.
    virtual double Deadline_s(const Firmware&) const { return 30.0; }
};

std::unique_ptr<Program> MakeProgram(std::string_view name);

class Firmware {
public:
    explicit Firmware(const SimConfig& config);

    // --- Host side ---
    void AdvanceTo(double time_s);
    Status WriteRegister(const std::string& name, double value);
    Result<double> ReadRegister(const std::string& name) const;
    void Stop();
    Status Download(const std::string& program, const std::vector<ProgramVariable>& variables,
                    const std::optional<LoggerSettings>& logger, const std::optional<ScopeSettings>& scope);
    Status Start();
    Result<double> ReadProgramVariable(const std::string& name) const;
    Status WriteProgramVariable(const std::string& name, double raw);
    Result<double> ReadVariable(const std::string& name) const;
    Status WriteVariable(const std::string& name, double raw);
    Result<std::vector<LogRecord>> UploadLog() const;
    std::vector<std::vector<std::uint8_t>> TakeFrames();

    // --- Program side ---
    double& V(Var v) { return m_vars[static_cast<std::size_t>(v)]; }
    double V(Var v) const { return m_vars[static_cast<std::size_t>(v)]; }
    // A downloaded program variable, or null.
    ProgramVar* Pvar(std::string_view name);
    // Value of a program variable, 0 when the program declares none.
    double PvarValue(std::string_view name) const;

    void AxisOn();
    // The program has finished: axis off, outputs final.
    void End();
    // A protection or the watchdog: the axis goes off and the program reports through its outputs.
    void Trip(int merBit);
    void AbortRun();

    // Voltage commands in voltage counts (±32767 = ±0.55·Vdc), applied one PWM period later.
    [[gnu::always_inline]] void SetAlphaBeta(double uAlpha, double uBeta);
    // On the test frame's q axis at `theta_rad`.
    void SetTestVoltage(double uq, double theta_rad);
    // The α voltage the modulator will apply for the last command, after compare quantisation,
    // in voltage counts.
    double AppliedAlpha() const;

    // Currents of this sample, in counts (phase current × K_I).
    double Ia() const { return m_ia; }
    double Ib() const { return m_ib; }
    double IAlpha() const { return m_ia; }
    double IBeta() const { return (m_ia + 2.0 * m_ib) * kInvSqrt3; }
    // Test-frame currents: q along θ, d at θ − 90°.
    double TestIq(double theta_rad) const;
    double TestId(double theta_rad) const;
    // The bus as sampled with the currents; converted only when a program reads it (few do).
    std::int32_t Bus() {
        if (!m_bus_converted) {
            m_bus = m_plant.BusCount(m_bus_sample);
            m_bus_converted = true;
        }
        return m_bus;
    }
    std::array<std::int32_t, 3> Halls() const { return m_halls; }
    // The calibrated Hall angle in 16-bit units and the vector's magnitude (16384 = nominal).
    struct HallAngle {
        std::int32_t angle;
        double magnitude;
        double cos;  // of the angle, ZAOFF included
        double sin;
    };
    HallAngle HallAngleNow() const;
    void SampleHallsNow();
    // The same calibrated angle for commutation every current-loop sample, evaluated from the
    // Hall sensors' own model rather than through three ADC conversions and an atan2: the
    // noiseless vector's angle and magnitude tabulated over the electrical turn for the present
    // calibration, the sensors' noise and the ADCs' quantisation folded into one draw across it.
    [[gnu::always_inline]] HallAngle CommutationAngle();
    // How often the table behind CommutationAngle has been computed.
    std::uint64_t HallTableBuilds() const { return m_hall_table_builds; }

    double Tc_s() const { return m_tc_s; }
    double Ts_s() const { return m_ts_s; }
    double Time_s() const { return m_plant.Time_s(); }
    double RunTime_s() const { return Time_s() - m_start_s; }
    std::int64_t SlowSamples() const { return m_slow_index; }
    bool IsAxisOn() const { return m_axis_on; }
    bool Running() const { return m_running; }
    const std::string& ProgramName() const { return m_program_name; }
    const Registers& Reg() const { return m_reg; }
    Plant& PlantState() { return m_plant; }
    const Plant& PlantState() const { return m_plant; }
    const SimConfig& Config() const { return m_config; }

    void TriggerLogger();
    bool LoggerTriggered() const { return m_log.triggered; }
    bool LoggerFull() const;
    void EmptyLogger();
    // Deadline extension for programs whose length depends on what they measure.
    void ExtendWatchdog(double seconds_from_now);

    double CountsPerAmp() const;  // K_I

private:
    void Reconfigure();
    [[gnu::always_inline]] inline void Tick();
    [[gnu::always_inline]] inline void FastSample();
    void SlowSample();
    void Protections();
    void RecordLog(int kind);
    void StreamScope();
    void FlushFrame(bool end);
    std::uint16_t PresentCauses() const;
    void ThermalImages();
    void HeatsinkModel();
    bool LimitInputActive(bool positive) const;

    SimConfig m_config;
    Plant m_plant;
    Registers m_reg;
    std::map<std::string, double> m_registers;
    std::array<double, kVarCount> m_vars{};
    // The short circuit of the simulator file (never when it has none) and the comparator's
    // threshold.
    double m_short_circuit_at_s;
    double m_short_circuit_limit_A;

    // Program.
    std::string m_program_name;
    std::unique_ptr<Program> m_program;
    std::vector<ProgramVar> m_pvars;
    bool m_downloaded = false;
    bool m_running = false;
    bool m_axis_on = false;
    double m_start_s = 0.0;
    double m_deadline_s = 0.0;

    // Sampling.
    double m_tc_s = 50e-6;
    // The PWM period in ticks, its half and reciprocal, and ticks per voltage count.
    double m_pwmper_ticks = 1500.0;
    double m_half_pwmper_ticks = 750.0;
    double m_per_pwmper = 1.0 / 1500.0;
    double m_ticks_per_count = kDutyPerVoltageCount * 1500.0;
    double m_ts_s = 500e-6;
    int m_cl_phase = 0;
    int m_sl_phase = 0;
    std::int64_t m_slow_index = 0;
    double m_ia = 0.0, m_ib = 0.0;
    std::array<double, 2> m_adc_offset{regmap::kAdcMidScale, regmap::kAdcMidScale};
    std::int32_t m_bus = 0;
    Plant::BusSample m_bus_sample{0.0, 0.0};
    bool m_bus_converted = false;
    std::array<std::int32_t, 3> m_halls{};
    std::array<double, 3> m_duty_next{0.5, 0.5, 0.5};
    std::array<double, 3> m_duty_applied{0.5, 0.5, 0.5};
    std::array<double, 3> m_compare_remainder{};
    int m_overcurrent_samples = 0;
    // The motor's and the drive's I²t images, kept across runs as the windings keep their heat.
    std::array<double, 2> m_i2t{};
    // The heatsink's temperature above the ambient, its share of the way to the steady state per
    // slow sample, and whether its sensor reports it too hot.
    double m_heatsink_rise_K = 0.0;
    double m_heatsink_step = 0.0;
    bool m_heatsink_hot = false;
    // The Hall channels' assumed phases and the angle offset, as sines and cosines, kept for the
    // ALPHA and ZAOFF they were computed from.
    mutable std::int32_t m_hall_alpha = 0x7FFFFFFF;
    mutable std::int32_t m_hall_zaoff = 0x7FFFFFFF;
    mutable std::array<double, 3> m_phi_cos{}, m_phi_sin{};
    mutable double m_zaoff_cos = 1.0, m_zaoff_sin = 0.0;

    // The calibrated Hall vector over one electrical turn, for CommutationAngle.
    struct HallTable {
        static constexpr int kNodes = 1024;
        std::uint64_t generation = ~std::uint64_t{0};  // of the registers it was built from
        // Per node of the turn, each value with its change to the next node (what one sample
        // reads together, side by side): the vector's angle less the magnet's (unwrapped along
        // the turn, 16-bit units), the cosine and sine of that difference plus ZAOFF, the
        // magnitude, and the angular noise (16-bit units per unit draw).
        struct Node {
            double offset, offset_slope, cos, cos_slope, sin, sin_slope, magnitude, magnitude_slope, noise;
        };
        std::vector<Node> node;
    };
    void BuildHallTable();
    void TestAngle(double theta_rad) const;
    mutable double m_test_theta = 0.0, m_test_cos = 1.0, m_test_sin = 0.0;
    HallTable m_hall_table;
    std::uint64_t m_hall_calibration_generation = 0;  // counts the writes of the Halls' calibration
    std::uint64_t m_hall_table_builds = 0;

    // Data logger.
    struct Log {
        bool armed = false;
        bool triggered = false;
        int kind = 1;
        int divider = 1;
        int divider_phase = 0;  // samples left to skip before the next record
        int points = 0;
        int recorded = 0;
        std::vector<const double*> sources;
        std::vector<double> data;  // points × sources
        double period_s = 0.0;
    } m_log;

    // Scope stream.
    struct Scope {
        bool armed = false;
        int every = 1;
        int phase = 0;  // slow samples left to skip before the next record
        std::vector<const double*> sources;
        std::vector<std::int32_t> pending;  // records × sources
        int pending_records = 0;
        double first_pending_s = 0.0;
        std::uint16_t sequence = 0;
    } m_scope;
    std::vector<std::vector<std::uint8_t>> m_frames;
};

// The per-period path, inline for the programs that call it every current-loop sample.

inline void Firmware::SetAlphaBeta(double uAlpha, double uBeta) {
    constexpr double kHalfSqrt3 = 0.5 * kSqrt3;
    const double u[3] = {uAlpha, -0.5 * uAlpha + kHalfSqrt3 * uBeta, -0.5 * uAlpha - kHalfSqrt3 * uBeta};
    // Min-max zero-sequence injection reaches Vdc/√3 of phase amplitude.
    const double mid = 0.5 * (std::max(u[0], std::max(u[1], u[2])) + std::min(u[0], std::min(u[1], u[2])));
    const double period = m_pwmper_ticks;
    // Unrolled: the three phases' rounding chains then overlap.
#pragma GCC unroll 3
    for (std::size_t x = 0; x < 3; ++x) {
        // The compare value's rounding remainder carries over, so the mean applied voltage is
        // the command.
        const double wanted = m_half_pwmper_ticks + m_ticks_per_count * (u[x] - mid) + m_compare_remainder[x];
        // Clamped, adding ½ and flooring rounds to nearest.
        const double compare = Floor(std::min(std::max(wanted, 0.0), period) + 0.5);
        m_compare_remainder[x] = std::min(std::max(wanted - compare, -1.0), 1.0);
        m_duty_next[x] = compare * m_per_pwmper;
    }
}

inline Firmware::HallAngle Firmware::CommutationAngle() {
    if (m_hall_table.generation != m_hall_calibration_generation) BuildHallTable();
    // Where the magnet is within its turn, as a node of the table and the way to the next.
    const Plant::TurnPlace place = m_plant.PlaceInTurn(HallTable::kNodes);
    const HallTable::Node& t = m_hall_table.node[place.node];
    const double w = place.weight;
    const double noise = t.noise * m_plant.Gaussian();
    const double angle = place.fraction * regmap::kAngleFullTurn + (t.offset + w * t.offset_slope) + noise;
    const std::int32_t rounded = RoundHalfUp(angle) + m_reg.zaoff;
    // The magnet's phasor turned by the tabulated difference (ZAOFF included) and the noise,
    // the latter small enough for first order.
    constexpr double kAngleToRad = kTwoPi / regmap::kAngleFullTurn;
    const double n = noise * kAngleToRad;
    const double dc = t.cos + w * t.cos_slope, ds = t.sin + w * t.sin_slope;
    const double ec = dc - n * ds, es = ds + n * dc;
    const double c = m_plant.AngleCos(), s = m_plant.AngleSin();
    return {static_cast<std::int32_t>(static_cast<std::uint32_t>(rounded) & 0xFFFF),
            t.magnitude + w * t.magnitude_slope, c * ec - s * es, s * ec + c * es};
}

}  // namespace drivesim::detail
