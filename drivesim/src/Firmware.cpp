#include "Firmware.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <limits>

namespace drivesim::detail {

namespace {

using regmap::BitMask;
using regmap::IsBitSet;

// The logger's memory, in values.
constexpr int kLoggerCapacity = 16384;
// Scope frames go out every 64 records or 20 ms, whichever comes first.
constexpr int kScopeRecordsPerFrame = 64;
constexpr double kScopeFramePeriod_s = 0.020;
constexpr std::uint16_t kScopeMessageCode = 0xE900;
constexpr std::uint16_t kAxisId = 1;
// Samples averaged per current ADC for its mid-scale offset, axis off, at every start.
constexpr int kOffsetCalibrationSamples = 256;
// The hardware short-circuit comparator trips at 1.2·ImaxPS.
constexpr double kShortCircuitRatio = 1.2;
const double kZero = 0.0;

std::int32_t ToRegister(double value) { return RoundSaturated(value); }

struct TypeRange {
    double min;
    double max;
};
TypeRange RangeOf(VarType type) {
    switch (type) {
    case VarType::Int16: return {-32768.0, 32767.0};
    case VarType::UInt16: return {0.0, 65535.0};
    case VarType::Int32:
    case VarType::Q16_16: return {-2147483648.0, 2147483647.0};
    case VarType::UInt32: return {0.0, 4294967295.0};
    case VarType::Float: return {-std::numeric_limits<double>::max(), std::numeric_limits<double>::max()};
    }
    return {0.0, 0.0};
}

// Rounds a raw value into its type, or nothing when it does not fit.
std::optional<double> IntoType(VarType type, double raw) {
    if (!std::isfinite(raw)) return std::nullopt;
    const double value = type == VarType::Float ? raw : std::round(raw);
    const TypeRange range = RangeOf(type);
    if (value < range.min || value > range.max) return std::nullopt;
    return value;
}

void PutWord(std::vector<std::uint8_t>& out, std::uint16_t word) {
    out.push_back(static_cast<std::uint8_t>(word & 0xFF));
    out.push_back(static_cast<std::uint8_t>(word >> 8));
}

}  // namespace

Firmware::Firmware(const SimConfig& config)
    : m_config(config),
      m_plant(config),
      m_short_circuit_at_s(config.faults.short_circuit_at_s.value_or(std::numeric_limits<double>::infinity())),
      m_short_circuit_limit_A(kShortCircuitRatio * config.drive.imax_ps_A) {
    Reconfigure();
    SampleHallsNow();
}

// --- Registers ---

namespace {

// Where a register's value goes in the resolved set, or null for registers the firmware ignores.
std::int32_t* Field(Registers& r, std::string_view name) {
    struct Entry {
        std::string_view name;
        std::int32_t Registers::*field;
    };
    static constexpr Entry kFields[] = {
        {"PWMPER", &Registers::pwmper}, {"CLPER", &Registers::clper}, {"SLPER", &Registers::slper},
        {"DBT", &Registers::dbt}, {"DBTTH", &Registers::dbtth}, {"SATID", &Registers::satid},
        {"SATIQ", &Registers::satiq}, {"FILTERQ", &Registers::filterq}, {"FFL", &Registers::ffl},
        {"KPI", &Registers::kpi}, {"SFTKPI", &Registers::sftkpi}, {"KII", &Registers::kii},
        {"SFTKII", &Registers::sftkii}, {"KPS", &Registers::kps}, {"SFTKPS", &Registers::sftkps},
        {"KIS", &Registers::kis}, {"SFTKIS", &Registers::sftkis}, {"IMAXS", &Registers::imaxs},
        {"SATS", &Registers::sats}, {"KPP", &Registers::kpp}, {"SFTKPP", &Registers::sftkpp},
        {"KIP", &Registers::kip}, {"SFTKIP", &Registers::sftkip}, {"KDP", &Registers::kdp},
        {"SFTKDP", &Registers::sftkdp}, {"KDFP", &Registers::kdfp}, {"IMAXP", &Registers::imaxp},
        {"SATP", &Registers::satp}, {"KFFS", &Registers::kffs}, {"SFTSFFW", &Registers::sftsffw},
        {"KFFA", &Registers::kffa}, {"SFTAFFW", &Registers::sftaffw}, {"SFTKFF", &Registers::sftkff},
        {"IMAXPROT", &Registers::imaxprot}, {"TIMAXPROT", &Registers::timaxprot},
        {"ERRMAX", &Registers::errmax}, {"TERRMAX", &Registers::terrmax}, {"SERRMAX", &Registers::serrmax},
        {"TSERRMAX", &Registers::tserrmax}, {"PCR", &Registers::pcr}, {"ACR", &Registers::acr},
        {"ASR", &Registers::asr}, {"OSR", &Registers::osr}, {"UPGRADE", &Registers::upgrade},
        {"DIGIN_ACTIVE_LEVEL", &Registers::digin}, {"T1ONA", &Registers::t1ona}, {"T1ONB", &Registers::t1onb},
        {"REFTST", &Registers::reftst}, {"RINCTST", &Registers::rinctst}, {"ALPHA", &Registers::alpha},
        {"ZAOFF", &Registers::zaoff}, {"AD5OFF", &Registers::ad5off}, {"CADIN", &Registers::cadin},
        {"SFTADIN", &Registers::sftadin}, {"FILTER1", &Registers::filter1}, {"LEVEL_AD5", &Registers::level_ad5},
        {"E_LEVEL_AD5", &Registers::e_level_ad5}, {"ABSTART_MINMOVE", &Registers::minmove},
        {"UMAXPROT", &Registers::umaxprot}, {"UMINPROT", &Registers::uminprot},
    };
    for (const Entry& e : kFields)
        if (e.name == name) return &(r.*(e.field));
    static constexpr std::string_view kI2tNominal[] = {"II2TPROT_M", "II2TPROT_D"};
    static constexpr std::string_view kI2tTimeScale[] = {"SFI2T_M", "SFI2T_D"};
    for (int k = 0; k < 2; ++k) {
        if (name == kI2tNominal[k]) return &r.ii2tprot[k];
        if (name == kI2tTimeScale[k]) return &r.sfi2t[k];
    }
    static constexpr std::string_view kHallOffsets[] = {"HALLAOFF", "HALLBOFF", "HALLCOFF"};
    static constexpr std::string_view kHallGains[] = {"HALLAGAIN", "HALLBGAIN", "HALLCGAIN"};
    for (int k = 0; k < 3; ++k) {
        if (name == kHallOffsets[k]) return &r.hall_off[k];
        if (name == kHallGains[k]) return &r.hall_gain[k];
    }
    for (int k = 0; k < regmap::kBiquadSlots; ++k) {
        if (name == regmap::kBiquadChainCounts[static_cast<std::size_t>(k)]) return &r.bq_counts[k];
        const std::string prefix = "BQ" + std::to_string(k + 1);
        if (name.substr(0, prefix.size()) != prefix) continue;
        for (std::size_t s = 0; s < regmap::kBiquadSuffixes.size(); ++s)
            if (name.substr(prefix.size()) == regmap::kBiquadSuffixes[s]) return &r.bq[k][s];
    }
    return nullptr;
}

// The registers the calibrated Hall vector is computed from: a write of any other leaves the
// commutation table as it is (the tuning tests write gains live, one per transaction).
bool IsHallCalibration(std::string_view name) {
    static constexpr std::string_view kCalibration[] = {"HALLAOFF",  "HALLBOFF",  "HALLCOFF", "HALLAGAIN",
                                                         "HALLBGAIN", "HALLCGAIN", "ALPHA",    "ZAOFF"};
    return std::find(std::begin(kCalibration), std::end(kCalibration), name) != std::end(kCalibration);
}

}  // namespace

Status Firmware::WriteRegister(const std::string& name, double value) {
    if (!m_config.faults.failing_write.empty() && name == m_config.faults.failing_write)
        return Status::Fail("writing " + name + " failed: the drive did not acknowledge");
    if (!std::isfinite(value)) return Status::Fail("register " + name + ": the value is not a finite number");
    std::int32_t* field = Field(m_reg, name);
    if ((name == "PWMPER" || name == "CLPER" || name == "SLPER") && value < 1.0)
        return Status::Fail("register " + name + ": " + std::to_string(value) + " is no period (at least 1)");
    m_registers[name] = value;
    if (name == "I2TINTLIM_M" || name == "I2TINTLIM_D") m_reg.i2tintlim[name == "I2TINTLIM_M" ? 0 : 1] = value;
    if (field) {
        const std::int32_t resolved = ToRegister(value);
        // A download writes the whole block before every run: the same calibration again keeps
        // the table.
        if (*field != resolved && IsHallCalibration(name)) ++m_hall_calibration_generation;
        *field = resolved;
        if (name == "PWMPER" || name == "CLPER" || name == "SLPER" || name == "DBT") Reconfigure();
    }
    return Status::Ok();
}

Result<double> Firmware::ReadRegister(const std::string& name) const {
    if (!m_config.faults.failing_read.empty() && name == m_config.faults.failing_read)
        return Result<double>::Fail("reading " + name + " failed: the drive did not answer");
    auto it = m_registers.find(name);
    if (it == m_registers.end()) return Result<double>::Fail("the drive has no register " + name);
    return Result<double>::Ok(it->second);
}

void Firmware::Reconfigure() {
    const double dsp_Hz = m_config.drive.dsp_freq_Hz;
    const double pwm_s = 2.0 * m_reg.pwmper / dsp_Hz;
    m_pwmper_ticks = m_reg.pwmper;
    m_half_pwmper_ticks = 0.5 * m_pwmper_ticks;
    m_per_pwmper = 1.0 / m_pwmper_ticks;
    m_ticks_per_count = kDutyPerVoltageCount * m_pwmper_ticks;
    m_tc_s = pwm_s * m_reg.clper;
    m_ts_s = pwm_s * m_reg.slper;
    m_heatsink_step = 1.0 - std::exp(-m_ts_s / m_config.drive.heatsink_tau_s);
    // DBT holds the two switching edges' dead times in ticks, one per byte.
    const int ticks = std::max(m_reg.dbt & 0xFF, (m_reg.dbt >> 8) & 0xFF);
    const double dead_s = ticks * m_config.drive.dead_time_tick_percent / 100.0 / dsp_Hz;
    m_plant.Configure(pwm_s, dead_s);
}

double Firmware::CountsPerAmp() const { return regmap::kAdcFullScale / (2.0 * m_config.drive.imax_ps_A); }

// --- Time ---

void Firmware::AdvanceTo(double time_s) {
    const double pwm_s = 2.0 * m_reg.pwmper / m_config.drive.dsp_freq_Hz;
    // Half a period of slack so that rounding never skips or repeats a period.
    while (m_plant.Time_s() + 0.5 * pwm_s <= time_s) Tick();
}

inline void Firmware::Tick() {
    if (m_axis_on && (Time_s() >= m_short_circuit_at_s || m_plant.PeakCurrent_A() > m_short_circuit_limit_A))
        Trip(regmap::mer::kShortCircuit);
    if (++m_cl_phase >= m_reg.clper) {
        m_cl_phase = 0;
        FastSample();
    }
    if (++m_sl_phase >= m_reg.slper) {
        m_sl_phase = 0;
        SlowSample();
    }
    m_plant.Step(m_duty_applied, m_axis_on);
    // What this sample computed applies over the next period.
    m_duty_applied = m_duty_next;
}

inline void Firmware::FastSample() {
    m_ia = m_plant.SampleCurrent(0) - m_adc_offset[0];
    m_ib = m_plant.SampleCurrent(1) - m_adc_offset[1];
    m_bus_sample = m_plant.TakeBus();
    m_bus_converted = false;
    if (m_running) m_program->Fast(*this);
    if (m_log.armed && m_log.kind == 2) RecordLog(2);
}

void Firmware::SlowSample() {
    ++m_slow_index;
    SampleHallsNow();
    V(Var::AD5) = m_plant.SampleAnalogueInput();
    HeatsinkModel();
    Protections();
    if (m_running) {
        m_program->Slow(*this);
        if (m_running && Time_s() > m_deadline_s) AbortRun();
    }
    if (m_log.armed && m_log.kind == 1) RecordLog(1);
    if (m_running) StreamScope();
}

void Firmware::SampleHallsNow() {
    m_plant.SampleHalls(m_halls);
    V(Var::AD6) = m_halls[0];
    V(Var::AD3) = m_halls[1];
    V(Var::AD9) = V(Var::AD8) = m_halls[2];
}

// --- Protections ---

// The inputs as wired: LSP sits at the load's positive end. A reversed transmission changes which
// motor direction an input blocks, not which bit reports it.
bool Firmware::LimitInputActive(bool positive) const {
    return positive ? (m_plant.AtPositiveEnd() || m_config.faults.positive_limit_active)
                    : (m_plant.AtNegativeEnd() || m_config.faults.negative_limit_active);
}

std::uint16_t Firmware::PresentCauses() const {
    std::uint32_t causes = 0;
    if (m_config.faults.enable_inactive) causes |= BitMask(regmap::mer::kEnableInactive);
    const auto pcr = static_cast<std::uint32_t>(m_reg.pcr);
    // The bus as its ADC reads it, noise aside.
    const double bus = m_plant.PresentBus_V() * regmap::kAdcFullScale / m_config.drive.vdc_max_measurable_V;
    if (IsBitSet(pcr, regmap::pcr::kOverVoltage) && bus > m_reg.umaxprot) causes |= BitMask(regmap::mer::kOverVoltage);
    if (IsBitSet(pcr, regmap::pcr::kUnderVoltage) && bus < m_reg.uminprot) causes |= BitMask(regmap::mer::kUnderVoltage);
    if (IsBitSet(pcr, regmap::pcr::kMotorOverTemperature) && m_config.faults.motor_over_temperature)
        causes |= BitMask(regmap::mer::kMotorOverTemperature);
    if (IsBitSet(pcr, regmap::pcr::kDriveOverTemperature) && (m_config.faults.drive_over_temperature || m_heatsink_hot))
        causes |= BitMask(regmap::mer::kDrive);
    if (LimitInputActive(true)) causes |= BitMask(regmap::mer::kPositiveLimitSwitch);
    if (LimitInputActive(false)) causes |= BitMask(regmap::mer::kNegativeLimitSwitch);
    return static_cast<std::uint16_t>(causes);
}

void Firmware::Protections() {
    // The causes present, lowest bit first.
    for (std::uint32_t causes = PresentCauses(); causes != 0; causes &= causes - 1)
        Trip(std::countr_zero(causes));
    ThermalImages();
    if (m_axis_on && IsBitSet(static_cast<std::uint32_t>(m_reg.pcr), regmap::pcr::kOverCurrent) &&
        m_reg.timaxprot != regmap::kCheckOff) {
        const double limit = m_reg.imaxprot;
        const double peak = std::max({std::abs(m_ia), std::abs(m_ib), std::abs(m_ia + m_ib)});
        m_overcurrent_samples = peak > limit ? m_overcurrent_samples + 1 : 0;
        if (m_overcurrent_samples > m_reg.timaxprot) Trip(regmap::mer::kOverCurrent);
    }
}

// The heatsink as one thermal capacity behind one resistance to the ambient, stepped exactly for
// the losses held over a slow sample. Its sensor keeps reporting until the heatsink has cooled by
// the hysteresis, so that a drive does not restart at the edge of its limit.
void Firmware::HeatsinkModel() {
    constexpr double kHysteresis_K = 10.0;
    const DriveHardware& d = m_config.drive;
    double squares_A2 = 0.0;
    for (int terminal = 0; terminal < 3; ++terminal) {
        const double i_A = m_plant.TerminalCurrent_A(terminal);
        squares_A2 += i_A * i_A;
    }
    const double steady_K = d.stage_loss_W_per_A2 * squares_A2 * d.heatsink_K_per_W;
    m_heatsink_rise_K += (steady_K - m_heatsink_rise_K) * m_heatsink_step;
    const double heatsink_C = d.ambient_C + m_heatsink_rise_K;
    if (heatsink_C >= d.heatsink_trip_C) m_heatsink_hot = true;
    else if (heatsink_C < d.heatsink_trip_C - kHysteresis_K) m_heatsink_hot = false;
}

// Each slow sample adds (i² − I_n²)·SFI2T/2^30 to an image that never goes below zero; it trips
// when it passes I2TINTLIM = (I_lim² − I_n²)·K_I²/16, i.e. after t_I2t at I_lim.
void Firmware::ThermalImages() {
    constexpr double kImageScale = 1.0 / (regmap::i2t::kTimeScale * regmap::i2t::kIntegralDivisor);
    constexpr int kEnableBits[2] = {regmap::pcr::kMotorI2t, regmap::pcr::kDriveI2t};
    const double iAlpha = RoundSaturated(IAlpha()), iBeta = RoundSaturated(IBeta());
    const double squared = iAlpha * iAlpha + iBeta * iBeta;  // the phase current's amplitude, squared
    for (std::size_t k = 0; k < 2; ++k) {
        if (!IsBitSet(static_cast<std::uint32_t>(m_reg.pcr), kEnableBits[k]) || m_reg.sfi2t[k] <= 0) continue;
        const double nominal = m_reg.ii2tprot[k];
        m_i2t[k] = std::max(0.0, m_i2t[k] + (squared - nominal * nominal) * m_reg.sfi2t[k] * kImageScale);
        if (m_reg.i2tintlim[k] > 0.0 && m_i2t[k] > m_reg.i2tintlim[k]) Trip(regmap::mer::kI2t);
    }
}

void Firmware::Trip(int merBit) {
    V(Var::MER) = static_cast<double>(static_cast<std::uint32_t>(V(Var::MER)) | BitMask(merBit));
    if (m_axis_on || (m_running && m_program->UsesPowerStage())) AbortRun();
}

void Firmware::AbortRun() {
    if (m_running) m_program->Abort(*this);
    End();
}

// --- Power stage ---

void Firmware::AxisOn() {
    if (static_cast<std::uint32_t>(V(Var::MER)) != 0) {
        AbortRun();
        return;
    }
    if (!m_axis_on) {
        m_compare_remainder = {};
        m_duty_next = m_duty_applied = {0.5, 0.5, 0.5};
    }
    m_axis_on = true;
}

void Firmware::End() {
    m_axis_on = false;
    const bool wasRunning = m_running;
    m_running = false;
    if (wasRunning && m_scope.armed) FlushFrame(true);
}

double Firmware::AppliedAlpha() const {
    const auto& d = m_duty_next;
    return (2.0 / 3.0) * (d[0] - 0.5 * (d[1] + d[2])) / kDutyPerVoltageCount;
}

void Firmware::TestAngle(double theta_rad) const {
    // The programs hold one test angle for many samples: the library's sine and cosine, which
    // cost more than the rest of a sample, run only when it changes.
    if (theta_rad == m_test_theta) return;
    m_test_theta = theta_rad;
    m_test_cos = std::cos(theta_rad);
    m_test_sin = std::sin(theta_rad);
}

void Firmware::SetTestVoltage(double uq, double theta_rad) {
    TestAngle(theta_rad);
    SetAlphaBeta(uq * m_test_cos, uq * m_test_sin);
}

double Firmware::TestIq(double theta_rad) const {
    TestAngle(theta_rad);
    return IAlpha() * m_test_cos + IBeta() * m_test_sin;
}
double Firmware::TestId(double theta_rad) const {
    TestAngle(theta_rad);
    return IAlpha() * m_test_sin - IBeta() * m_test_cos;
}

Firmware::HallAngle Firmware::HallAngleNow() const {
    constexpr double kAngleToRad = kTwoPi / regmap::kAngleFullTurn;
    if (m_reg.alpha != m_hall_alpha || m_reg.zaoff != m_hall_zaoff) {
        m_hall_alpha = m_reg.alpha;
        m_hall_zaoff = m_reg.zaoff;
        const double alpha = m_reg.alpha * kAngleToRad;
        const double phi[3] = {0.0, kTwoPi / 3.0 + alpha, 2.0 * kTwoPi / 3.0 - alpha};
        // The projection's 2/3 rides on the channels' cosines and sines.
        for (std::size_t k = 0; k < 3; ++k) {
            m_phi_cos[k] = (2.0 / 3.0) * std::cos(phi[k]);
            m_phi_sin[k] = (2.0 / 3.0) * std::sin(phi[k]);
        }
        m_zaoff_cos = std::cos(m_reg.zaoff * kAngleToRad);
        m_zaoff_sin = std::sin(m_reg.zaoff * kAngleToRad);
    }
    double a = 0.0, b = 0.0;
    for (std::size_t k = 0; k < 3; ++k) {
        const auto h = static_cast<double>(
            (static_cast<std::int64_t>(m_halls[k] - m_reg.hall_off[k]) * m_reg.hall_gain[k]) >> regmap::kHallGainShift);
        a += h * m_phi_cos[k];
        b += h * m_phi_sin[k];
    }
    constexpr double kRadToAngle = regmap::kAngleFullTurn / kTwoPi;
    const double turns = FastAtan2(b, a) * kRadToAngle;
    const std::int32_t angle = RoundHalfUp(turns) + m_reg.zaoff;
    const double squared = a * a + b * b;
    if (squared == 0.0)
        return {static_cast<std::int32_t>(static_cast<std::uint32_t>(angle) & 0xFFFF), 0.0, m_zaoff_cos, m_zaoff_sin};
    const double magnitude = std::sqrt(squared);
    // The angle's cosine and sine straight from the vector, turned by ZAOFF.
    const double perMagnitude = 1.0 / magnitude;
    const double c0 = a * perMagnitude, s0 = b * perMagnitude;
    return {static_cast<std::int32_t>(static_cast<std::uint32_t>(angle) & 0xFFFF), magnitude,
            c0 * m_zaoff_cos - s0 * m_zaoff_sin, s0 * m_zaoff_cos + c0 * m_zaoff_sin};
}

void Firmware::BuildHallTable() {
    struct Values {
        std::array<double, HallTable::kNodes + 1> offset{}, cos{}, sin{}, magnitude{}, noise{};
    };
    auto values = std::make_unique<Values>();
    Values& t = *values;
    m_hall_table.generation = m_hall_calibration_generation;
    ++m_hall_table_builds;
    const Plant::HallSensing sensing = m_plant.HallModel();
    constexpr double kAngleToRad = kTwoPi / regmap::kAngleFullTurn;
    constexpr double kRadToAngle = regmap::kAngleFullTurn / kTwoPi;
    const double alpha = m_reg.alpha * kAngleToRad;
    const double phi[3] = {0.0, kTwoPi / 3.0 + alpha, 2.0 * kTwoPi / 3.0 - alpha};
    // h_k = (ADC_k − OFF_k)·GAIN_k/2^14 with ADC_k = N_ADC·x_k, the vector (2/3)·Σ h_k·e^{jφ_k}:
    // affine in cos θ and sin θ.
    double a0 = 0.0, ac = 0.0, as = 0.0, b0 = 0.0, bc = 0.0, bs = 0.0;
    std::array<double, 3> pc{}, ps{}, sigma2{};
    const double quantisation2 = regmap::kAdcStep * regmap::kAdcStep / 12.0;
    for (std::size_t k = 0; k < 3; ++k) {
        const double gain = m_reg.hall_gain[k] / static_cast<double>(1 << regmap::kHallGainShift);
        pc[k] = (2.0 / 3.0) * std::cos(phi[k]) * gain;
        ps[k] = (2.0 / 3.0) * std::sin(phi[k]) * gain;
        const double offset = regmap::kAdcFullScale * sensing.offset[k] - m_reg.hall_off[k];
        a0 += pc[k] * offset;
        b0 += ps[k] * offset;
        ac += pc[k] * regmap::kAdcFullScale * sensing.cosine[k];
        as += pc[k] * regmap::kAdcFullScale * sensing.sine[k];
        bc += ps[k] * regmap::kAdcFullScale * sensing.cosine[k];
        bs += ps[k] * regmap::kAdcFullScale * sensing.sine[k];
        // Each conversion's noise and rounding, in ADC counts squared.
        const double noise = regmap::kAdcFullScale * sensing.noise;
        sigma2[k] = noise * noise + quantisation2;
    }
    const double zc = std::cos(m_reg.zaoff * kAngleToRad), zs = std::sin(m_reg.zaoff * kAngleToRad);
    double previous = 0.0;
    for (int n = 0; n <= HallTable::kNodes; ++n) {
        const auto i = static_cast<std::size_t>(n);
        const double theta = kTwoPi * n / HallTable::kNodes;
        const double c = std::cos(theta), s = std::sin(theta);
        const double a = a0 + ac * c + as * s, b = b0 + bc * c + bs * s;
        const double magnitude = std::sqrt(a * a + b * b);
        // The difference to the magnet's angle, continued from the previous node.
        double difference = std::atan2(b, a) - theta;
        if (n > 0) difference -= kTwoPi * std::round((difference - previous) / kTwoPi);
        previous = difference;
        t.offset[i] = difference * kRadToAngle;
        t.cos[i] = std::cos(difference) * zc - std::sin(difference) * zs;
        t.sin[i] = std::sin(difference) * zc + std::cos(difference) * zs;
        t.magnitude[i] = magnitude;
        // Noise across the vector turns it: σ⊥ = √(Σ σ_k²·(e_⊥·p_k)²), over the magnitude.
        double across2 = 0.0;
        if (magnitude > 0.0) {
            const double ux = a / magnitude, uy = b / magnitude;
            for (std::size_t k = 0; k < 3; ++k) {
                const double projection = -uy * pc[k] + ux * ps[k];
                across2 += sigma2[k] * projection * projection;
            }
        }
        t.noise[i] = magnitude > 0.0 ? std::sqrt(across2) / magnitude * kRadToAngle : 0.0;
    }
    m_hall_table.node.resize(HallTable::kNodes);
    for (std::size_t i = 0; i < m_hall_table.node.size(); ++i)
        m_hall_table.node[i] = {t.offset[i],    t.offset[i + 1] - t.offset[i],       t.cos[i],
                                t.cos[i + 1] - t.cos[i],       t.sin[i],            t.sin[i + 1] - t.sin[i],
                                t.magnitude[i], t.magnitude[i + 1] - t.magnitude[i], t.noise[i]};
}

// --- Programs ---

ProgramVar* Firmware::Pvar(std::string_view name) {
    for (ProgramVar& v : m_pvars)
        if (v.name == name) return &v;
    return nullptr;
}

double Firmware::PvarValue(std::string_view name) const {
    for (const ProgramVar& v : m_pvars)
        if (v.name == name) return v.value;
    return 0.0;
}

void Firmware::Stop() {
    if (m_running) End();
    m_axis_on = false;
    // Latched bits whose cause is gone clear; a persisting cause sets its bit again.
    V(Var::MER) = PresentCauses();
}

Status Firmware::Download(const std::string& program, const std::vector<ProgramVariable>& variables,
                          const std::optional<LoggerSettings>& logger, const std::optional<ScopeSettings>& scope) {
    if (m_running) Stop();
    if (!MakeProgram(program)) return Status::Fail("the drive has no program " + program);
    std::vector<ProgramVar> vars;
    for (const ProgramVariable& v : variables) {
        const std::optional<double> raw = IntoType(v.type, v.raw);
        if (!raw) return Status::Fail("program " + program + ": variable " + v.name + " cannot hold " + std::to_string(v.raw));
        vars.push_back({v.name, v.type, *raw, *raw});
    }
    auto resolve = [this](const std::vector<std::string>& names) {
        std::vector<const double*> sources;
        for (const std::string& n : names) {
            const double* source = &kZero;
            for (int i = 0; i < kVarCount; ++i)
                if (kVarNames[static_cast<std::size_t>(i)] == n) source = &m_vars[static_cast<std::size_t>(i)];
            sources.push_back(source);
        }
        return sources;
    };
    Log log;
    if (logger) {
        if (logger->points <= 0) return Status::Fail("logger: the point count must be positive");
        if (logger->sample_kind != 1 && logger->sample_kind != 2)
            return Status::Fail("logger: sample kind " + std::to_string(logger->sample_kind) + " is neither 1 nor 2");
        if (logger->divider < 1) return Status::Fail("logger: the divider must be at least 1");
        const std::size_t values = static_cast<std::size_t>(logger->points) * std::max<std::size_t>(1, logger->variables.size());
        if (values > static_cast<std::size_t>(kLoggerCapacity))
            return Status::Fail("logger: " + std::to_string(values) + " values do not fit the drive's " +
                                std::to_string(kLoggerCapacity));
        log.armed = true;
        log.kind = logger->sample_kind;
        log.divider = logger->divider;
        log.points = logger->points;
        log.sources = resolve(logger->variables);
        log.data.assign(values, 0.0);
    }
    Scope sc;
    if (scope) {
        sc.armed = true;
        sc.every = std::max(1, scope->every_slow_samples);
        sc.sources = resolve(scope->variables);
        sc.pending.reserve(static_cast<std::size_t>(kScopeRecordsPerFrame) * sc.sources.size());
    }
    m_program_name = program;
    m_pvars = std::move(vars);
    m_log = std::move(log);
    m_scope = std::move(sc);
    m_downloaded = true;
    return Status::Ok();
}

Status Firmware::Start() {
    if (!m_downloaded) return Status::Fail("no program has been downloaded");
    if (!m_config.faults.failing_start.empty() && m_config.faults.failing_start == m_program_name)
        return Status::Fail("program " + m_program_name + " did not start");
    if (m_running) End();
    m_axis_on = false;
    for (ProgramVar& v : m_pvars) v.value = v.preset;
    V(Var::WEAKINC) = 0.0;
    // Mid-scale offsets of the current sensors, measured with no current flowing.
    for (int t = 0; t < 2; ++t) {
        double sum = 0.0;
        for (int n = 0; n < kOffsetCalibrationSamples; ++n) sum += m_plant.SampleCurrent(t);
        m_adc_offset[static_cast<std::size_t>(t)] = sum / kOffsetCalibrationSamples;
    }
    V(Var::MER) = static_cast<double>(m_config.faults.forced_mer | PresentCauses());
    Reconfigure();
    m_log.triggered = false;
    m_log.recorded = 0;
    m_log.divider_phase = 0;
    m_scope.pending.clear();
    m_scope.pending_records = 0;
    m_scope.phase = 0;
    m_program = MakeProgram(m_program_name);
    m_running = true;
    m_start_s = Time_s();
    // The plan depends on what the program reads at its start.
    m_deadline_s = std::numeric_limits<double>::infinity();
    m_program->Begin(*this);
    m_deadline_s = m_start_s + m_program->Deadline_s(*this);
    return Status::Ok();
}

void Firmware::ExtendWatchdog(double seconds_from_now) {
    m_deadline_s = std::max(m_deadline_s, Time_s() + seconds_from_now);
}

Result<double> Firmware::ReadProgramVariable(const std::string& name) const {
    if (!m_config.faults.failing_read.empty() && name == m_config.faults.failing_read)
        return Result<double>::Fail("reading " + name + " failed: the drive did not answer");
    for (const ProgramVar& v : m_pvars)
        if (v.name == name) return Result<double>::Ok(v.value);
    return Result<double>::Fail("program " + m_program_name + " has no variable " + name);
}

Status Firmware::WriteProgramVariable(const std::string& name, double raw) {
    if (!m_config.faults.failing_write.empty() && name == m_config.faults.failing_write)
        return Status::Fail("writing " + name + " failed: the drive did not acknowledge");
    ProgramVar* v = Pvar(name);
    if (!v) return Status::Fail("program " + m_program_name + " has no variable " + name);
    const std::optional<double> value = IntoType(v->type, raw);
    if (!value) return Status::Fail("program variable " + name + " cannot hold " + std::to_string(raw));
    v->value = v->preset = *value;
    return Status::Ok();
}

Result<double> Firmware::ReadVariable(const std::string& name) const {
    if (!m_config.faults.failing_read.empty() && name == m_config.faults.failing_read)
        return Result<double>::Fail("reading " + name + " failed: the drive did not answer");
    for (int i = 0; i < kVarCount; ++i)
        if (kVarNames[static_cast<std::size_t>(i)] == name) return Result<double>::Ok(m_vars[static_cast<std::size_t>(i)]);
    if (auto it = m_registers.find(name); it != m_registers.end()) return Result<double>::Ok(it->second);
    return Result<double>::Fail("the firmware has no variable " + name);
}

Status Firmware::WriteVariable(const std::string& name, double raw) {
    if (!m_config.faults.failing_write.empty() && name == m_config.faults.failing_write)
        return Status::Fail("writing " + name + " failed: the drive did not acknowledge");
    if (!std::isfinite(raw)) return Status::Fail("variable " + name + ": the value is not a finite number");
    for (int i = 0; i < kVarCount; ++i)
        if (kVarNames[static_cast<std::size_t>(i)] == name) {
            m_vars[static_cast<std::size_t>(i)] = std::round(raw);
            return Status::Ok();
        }
    if (Field(m_reg, name)) return WriteRegister(name, raw);
    return Status::Fail("the firmware has no variable " + name);
}

// --- Data logger ---

void Firmware::TriggerLogger() {
    if (!m_log.armed || m_log.triggered) return;
    m_log.triggered = true;
    m_log.recorded = 0;
    m_log.divider_phase = 0;
    m_log.period_s = (m_log.kind == 1 ? m_ts_s : m_tc_s) * m_log.divider;
}

bool Firmware::LoggerFull() const { return m_log.armed && m_log.triggered && m_log.recorded >= m_log.points; }

void Firmware::EmptyLogger() {
    m_log.triggered = false;
    m_log.recorded = 0;
}

void Firmware::RecordLog(int kind) {
    if (!m_log.triggered || m_log.kind != kind || m_log.recorded >= m_log.points) return;
    // A countdown to the next recorded sample rather than a division every sample.
    if (m_log.divider_phase > 0) {
        --m_log.divider_phase;
        return;
    }
    m_log.divider_phase = m_log.divider - 1;
    const std::size_t n = m_log.sources.size();
    double* row = m_log.data.data() + static_cast<std::size_t>(m_log.recorded) * n;
    for (std::size_t k = 0; k < n; ++k) row[k] = *m_log.sources[k];
    ++m_log.recorded;
}

Result<std::vector<LogRecord>> Firmware::UploadLog() const {
    using R = Result<std::vector<LogRecord>>;
    if (!m_log.armed) return R::Fail("the data logger was not armed for this run");
    if (!m_log.triggered) return R::Fail("the data logger was never triggered");
    if (m_log.recorded == 0) return R::Fail("the data logger holds no sample");
    std::vector<LogRecord> records;
    records.reserve(static_cast<std::size_t>(m_log.recorded));
    const std::size_t n = m_log.sources.size();
    for (int r = 0; r < m_log.recorded; ++r) {
        LogRecord record;
        record.time_s = r * m_log.period_s;
        const double* row = m_log.data.data() + static_cast<std::size_t>(r) * n;
        record.values.assign(row, row + n);
        records.push_back(std::move(record));
    }
    return R::Ok(std::move(records));
}

// --- Scope stream ---

void Firmware::StreamScope() {
    if (!m_scope.armed) return;
    // A countdown to the next streamed sample rather than a division every slow sample.
    if (m_scope.phase > 0) {
        --m_scope.phase;
        return;
    }
    m_scope.phase = m_scope.every - 1;
    if (m_scope.pending_records == 0) m_scope.first_pending_s = Time_s();
    for (const double* source : m_scope.sources) m_scope.pending.push_back(ToRegister(*source));
    ++m_scope.pending_records;
    if (m_scope.pending_records >= kScopeRecordsPerFrame || Time_s() - m_scope.first_pending_s >= kScopeFramePeriod_s)
        FlushFrame(false);
}

void Firmware::FlushFrame(bool end) {
    auto emit = [this](int records) {
        const std::size_t c = m_scope.sources.size();
        const auto words = static_cast<std::uint16_t>(2 + 2 * c * static_cast<std::size_t>(records));
        const std::size_t values = c * static_cast<std::size_t>(records);
        std::vector<std::uint8_t> frame;
        frame.reserve(10 + 4 * values);
        PutWord(frame, words);
        PutWord(frame, kAxisId);
        PutWord(frame, kScopeMessageCode);
        PutWord(frame, m_scope.sequence++);
        PutWord(frame, static_cast<std::uint16_t>(records));
        // The values little-endian in place: byte-wise appends cost more than the whole sample.
        frame.resize(10 + 4 * values);
        std::uint8_t* out = frame.data() + 10;
        for (std::size_t i = 0; i < values; ++i, out += 4) {
            const auto v = static_cast<std::uint32_t>(m_scope.pending[i]);
            out[0] = static_cast<std::uint8_t>(v & 0xFF);
            out[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
            out[2] = static_cast<std::uint8_t>((v >> 16) & 0xFF);
            out[3] = static_cast<std::uint8_t>(v >> 24);
        }
        m_frames.push_back(std::move(frame));
    };
    if (m_scope.pending_records > 0) emit(m_scope.pending_records);
    m_scope.pending.clear();
    m_scope.pending_records = 0;
    if (end) {
        emit(0);
        m_scope.armed = false;
    }
}

std::vector<std::vector<std::uint8_t>> Firmware::TakeFrames() {
    std::vector<std::vector<std::uint8_t>> out;
    out.swap(m_frames);
    return out;
}

}  // namespace drivesim::detail
