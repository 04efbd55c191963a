// The physics under the firmware: a three-phase linear brushless motor on a PWM inverter, its
// mover and load, and the drive's sensors. Double precision; no registers, no programs.
#pragma once

#include "FixedPoint.h"
#include "drivesim/SimConfig.h"
#include "regmap/DriveRegisters.h"

#include <algorithm>
#include <cmath>

#include <array>
#include <cstddef>
#include <cstdint>

namespace drivesim::detail {

inline constexpr double kPi = 3.14159265358979323846;
inline constexpr double kTwoPi = 2.0 * kPi;
inline constexpr double kSqrt3 = 1.7320508075688772;
// Multiplying by it spares a division (tens of cycles of latency) on the per-period path.
inline constexpr double kInvSqrt3 = 0.57735026918962576;

// Newton's square root for constant tables (std::sqrt is not constexpr): from above, until it
// stops falling, which it does at the correctly rounded root or one ulp from it.
constexpr double ConstexprSqrt(double x) {
    if (x <= 0.0) return 0.0;
    double y = x > 1.0 ? x : 1.0;
    for (;;) {
        const double next = 0.5 * (y + x / y);
        if (next >= y) return y;
        y = next;
    }
}

// The sensors' noise distribution: the triangle of two summed uniforms, zero mean, unit
// variance, on ±√6, cut into `levels` slices of equal probability, each represented by the
// triangle's mean over it; the whole scaled so that the levels' own variance is exactly one
// (the means are a little narrower than the triangle). Symmetric, so the mean is exactly zero.
template <std::size_t levels>
constexpr std::array<double, levels> TriangleLevels() {
    constexpr double kHalfWidth = 2.449489742783178;  // √6: the unit-variance triangle's bound
    // The lower half's quantile is a(√(2p) − 1); its integral from 0 to p is a((2p)^{3/2}/3 − p).
    const auto integral = [](double p) { return kHalfWidth * (2.0 * p * ConstexprSqrt(2.0 * p) / 3.0 - p); };
    std::array<double, levels> q{};
    for (std::size_t i = 0; i < levels / 2; ++i) {
        constexpr double kLevels = static_cast<double>(levels);
        const double p0 = static_cast<double>(i) / kLevels, p1 = static_cast<double>(i + 1) / kLevels;
        q[i] = (integral(p1) - integral(p0)) * kLevels;
        q[levels - 1 - i] = -q[i];
    }
    double squares = 0.0;
    for (const double v : q) squares += v * v;
    const double scale = 1.0 / ConstexprSqrt(squares / static_cast<double>(levels));
    for (double& v : q) v *= scale;
    return q;
}

// Sensor noise from xorshift64*: each 64-bit draw gives six samples, ten of its upper 60 bits
// each, that pick one of the triangle's 1024 levels. The draw's unread fields are kept for the
// next calls (none is thrown away, so the sequence depends only on the seed, whoever draws); a
// marker bit above them tells when they are used up, so a sample costs a mask, a shift and a
// load, and one test.
class Noise {
public:
    static constexpr int kBitsPerSample = 10;
    static constexpr std::size_t kLevels = std::size_t{1} << kBitsPerSample;
    static constexpr int kSamplesPerDraw = 64 / kBitsPerSample;

    explicit Noise(std::uint64_t seed) : m_state(seed ? seed : 0x9E3779B97F4A7C15ULL) {}
    // Zero mean, unit variance, within ±2.4.
    double Gaussian() {
        if (m_fields == kEmpty) [[unlikely]]
            m_fields = (Next() >> (64 - kSamplesPerDraw * kBitsPerSample)) | kMarker;
        const auto level = static_cast<std::size_t>(m_fields & (kLevels - 1));
        m_fields >>= kBitsPerSample;
        return kLevelTable[level];
    }

private:
    static constexpr std::array<double, kLevels> kLevelTable = TriangleLevels<kLevels>();
    // Above the draw's fields; shifted down to bit 0 once all of them are read.
    static constexpr std::uint64_t kMarker = std::uint64_t{1} << (kSamplesPerDraw * kBitsPerSample);
    static constexpr std::uint64_t kEmpty = 1;

    std::uint64_t Next() {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return m_state * 0x2545F4914F6CDD1DULL;
    }
    std::uint64_t m_state;
    std::uint64_t m_fields = kEmpty;
};

// atan2 to within 1e-6 rad, far below the firmware's 16-bit angle step (9.6e-5 rad), at a
// fraction of the library's cost. Inline: the Hall angle needs it every current sample.
inline double FastAtan2(double y, double x) {
    const double ax = std::abs(x), ay = std::abs(y);
    if (ax == 0.0 && ay == 0.0) return 0.0;
    // atan on [0, 1] by a minimax polynomial in t², then the octant.
    const bool swap = ay > ax;
    const double t = swap ? ax / ay : ay / ax;
    const double t2 = t * t;
    double a = ((((((-0.0040540580 * t2 + 0.0218612288) * t2 - 0.0559098861) * t2 + 0.0964200441) * t2 -
                  0.1390853351) * t2 + 0.1994653599) * t2 - 0.3332985605) * t2 * t + t;
    if (swap) a = 0.5 * kPi - a;
    if (x < 0.0) a = kPi - a;
    return y < 0.0 ? -a : a;
}

// The sine and cosine of an angle up to ½ rad beyond a period's usual turn, by series, exact to
// rounding; out of line, so that the usual case stays small enough to inline.
[[gnu::noinline]] inline void WiderSinCos(double h, double& s, double& c) {
    const double h2 = h * h;
    // Below 1/32 rad the terms through h⁷ and h⁸: the first left out, h⁹/9!, is below 10⁻¹⁹.
    constexpr double kShortSeriesLimit = 1.0 / 32.0;
    if (std::abs(h) <= kShortSeriesLimit) {
        s = h * (1.0 - h2 * (1.0 / 6.0) * (1.0 - h2 * (1.0 / 20.0) * (1.0 - h2 * (1.0 / 42.0))));
        c = 1.0 - h2 * 0.5 * (1.0 - h2 * (1.0 / 12.0) * (1.0 - h2 * (1.0 / 30.0) * (1.0 - h2 * (1.0 / 56.0))));
        return;
    }
    // Through h¹³ and h¹⁴: the first term left out is below 10⁻¹⁶ at |h| = 0.5.
    s = h * (1.0 - h2 * (1.0 / 6.0) *
                       (1.0 - h2 * (1.0 / 20.0) *
                                  (1.0 - h2 * (1.0 / 42.0) *
                                             (1.0 - h2 * (1.0 / 72.0) *
                                                        (1.0 - h2 * (1.0 / 110.0) * (1.0 - h2 * (1.0 / 156.0)))))));
    c = 1.0 - h2 * 0.5 *
                  (1.0 - h2 * (1.0 / 12.0) *
                             (1.0 - h2 * (1.0 / 30.0) *
                                        (1.0 - h2 * (1.0 / 56.0) *
                                                   (1.0 - h2 * (1.0 / 90.0) *
                                                              (1.0 - h2 * (1.0 / 132.0) * (1.0 - h2 * (1.0 / 182.0)))))));
}

// The sine and cosine of a small angle (|h| ≤ 0.5) by series, exact to rounding. The factors
// are reciprocals so that the series costs multiplications only.
inline void SmallSinCos(double h, double& s, double& c) {
    // A period's turn is mostly below 1/128 rad, where the terms through h⁵ and h⁶ already are
    // exact: the first left out are below 2^-53 of the sum (h⁶/7! and h⁸/8!).
    constexpr double kShortestSeriesLimit = 1.0 / 128.0;
    if (std::abs(h) > kShortestSeriesLimit) {
        WiderSinCos(h, s, c);
        return;
    }
    const double h2 = h * h;
    s = h * (1.0 - h2 * (1.0 / 6.0) * (1.0 - h2 * (1.0 / 20.0)));
    c = 1.0 - h2 * 0.5 * (1.0 - h2 * (1.0 / 12.0) * (1.0 - h2 * (1.0 / 30.0)));
}

// A 10-bit ADC read left-aligned: a fraction of full scale to 64·round(1023·x), clamped, as a
// double. Inline: the sensors call it six times per PWM period.
inline double AdcValue(double fraction) {
    constexpr double kLevels = static_cast<double>((1 << regmap::kAdcBits) - 1);
    // Clamped first, so that adding ½ and flooring rounds to nearest (halves away from zero).
    // Minimum and maximum rather than a clamp's comparisons: no branch on the signal.
    const double code = Floor(std::min(std::max(kLevels * fraction, 0.0), kLevels) + 0.5);
    return code * regmap::kAdcStep;
}
inline std::int32_t AdcCount(double fraction) { return static_cast<std::int32_t>(AdcValue(fraction)); }

class Plant {
public:
    explicit Plant(const SimConfig& config);

    // Recomputes the discretisation for a PWM period and the inverter's dead time.
    void Configure(double pwm_period_s, double dead_time_s);

    // One PWM period with the terminals' duty cycles (0..1), or with the power stage off.
    [[gnu::always_inline]] void Step(const std::array<double, 3>& duty, bool power_on);
    // The electrical part alone, with the terminals' pole voltages (the tests use it).
    void StepElectrical(const std::array<double, 3>& pole_V) { StepElectrical(pole_V, 0); }
    // `linear_band`: bit t set when terminal t's dead-time loss acts as a resistance this period.
    void StepElectrical(const std::array<double, 3>& pole_V, unsigned linear_band);

    double Time_s() const { return m_time_s; }
    double BusVoltage_V() const;
    // The bus over the present period, as the inverter sees it.
    double PresentBus_V() const { return m_vdc_V; }

    // Terminal currents (what the drive's sensors see), motor-side position and speed.
    double TerminalCurrent_A(int terminal) const { return m_i_A[static_cast<std::size_t>(m_phase_of_terminal[static_cast<std::size_t>(terminal)])]; }
    // The largest phase current's magnitude: the same over the terminals, whatever their order.
    double PeakCurrent_A() const {
        return std::max(std::abs(m_i_A[0]), std::max(std::abs(m_i_A[1]), std::abs(m_i_A[2])));
    }
    // The mover's motion as of now, within a block too.
    double Position_m() const { return PresentMotion().x_m; }
    double Velocity_mps() const { return PresentMotion().v_mps; }
    double ElectricalAngle_rad() const;
    double Force_N() const;  // of the motor, from the present currents
    double TotalMass_kg() const { return m_mass_kg; }
    bool AtPositiveEnd() const;  // the load's positive end stop
    bool AtNegativeEnd() const;

    // Sensor readings as ADC counts (noise included). Inline: the firmware reads six per period.
    double SampleCurrent(int terminal) { return CurrentCount(terminal, m_noise.Gaussian()); }
    std::int32_t SampleBus() { return BusCount(TakeBus()); }
    // The bus taken now (with its noise) and converted later: the firmware converts it only when
    // a program reads it, few do. Taking it draws the noise in the sensors' order.
    struct BusSample {
        double vdc_V;
        double noise;
    };
    BusSample TakeBus() { return {m_vdc_V, m_noise.Gaussian()}; }
    std::int32_t BusCount(const BusSample& b) const {
        return AdcCount((b.vdc_V + m_bus_noise_V * b.noise) * m_per_bus_span);
    }
    void SampleHalls(std::array<std::int32_t, 3>& counts) {
        // As fractions of the input's full scale: the same sinusoids as HallVoltage_V.
        for (std::size_t c = 0; c < 3; ++c)
            counts[c] = AdcCount(m_hall_offset_fs[c] + m_cos * m_hall_cos_fs[c] + m_sin * m_hall_sin_fs[c] +
                                 m_hall_noise_fs * m_noise.Gaussian());
    }
    // The analogue input holds the simulator file's constant voltage.
    std::int32_t SampleAnalogueInput() const { return m_analogue_count; }
    // The Hall inputs as fractions of full scale: channel c reads
    // offset[c] + cosine[c]·cos θ + sine[c]·sin θ + noise·n, θ the magnet's electrical angle.
    struct HallSensing {
        std::array<double, 3> offset, cosine, sine;
        double noise;
    };
    HallSensing HallModel() const { return {m_hall_offset_fs, m_hall_cos_fs, m_hall_sin_fs, m_hall_noise_fs}; }
    // The magnet's electrical angle: in turns (unbounded), and its cosine and sine.
    double ElectricalTurns() const { return m_x_m * m_per_pole_pitch + m_magnet_turns; }
    // The magnet's place within its turn divided into `nodes`: the fraction [0, 1], the node
    // below it and the share of the way to the next node.
    struct TurnPlace {
        double fraction;
        std::size_t node;
        double weight;
    };
    TurnPlace PlaceInTurn(int nodes) const {
        const double turns = ElectricalTurns();
        // Floor, for negative turns too, without a branch: the mover stands about zero often.
        const double fraction = turns - Floor(turns);
        const double position = fraction * nodes;
        // A fraction a rounding below 1 reads as 1: the last node, all the way to its end.
        const double below = std::min(Floor(position), static_cast<double>(nodes - 1));
        // Through a signed integer: an unsigned one converts by a branch and a fix-up.
        return {fraction, static_cast<std::size_t>(static_cast<std::int64_t>(below)), position - below};
    }
    double AngleCos() const { return m_cos; }
    double AngleSin() const { return m_sin; }
    double Gaussian() { return m_noise.Gaussian(); }
    // Hall voltages without noise (the tests' reference).
    double HallVoltage_V(int channel) const {
        const auto c = static_cast<std::size_t>(channel);
        if (c == m_missing_channel) return m_hall_offset_V[c];
        // cos(θ − ψ) = cos θ·cos ψ + sin θ·sin ψ.
        return m_hall_offset_V[c] + m_hall_amplitude_V[c] * (m_cos * m_hall_cos[c] + m_sin * m_hall_sin[c]);
    }

    // For tests: place the mover and set the motor-phase currents.
    void SetMechanicalState(double x_m, double v_mps);
    void SetPhaseCurrents(double ia_A, double ib_A);

private:
    // The one-period electrical step behind Step and StepElectrical; the mover's exact motion
    // after `T` at a constant force, `decay` its viscous decay e^(−b·T/M), end stops included.
    [[gnu::always_inline]] void Electrical(const std::array<double, 3>& pole_V, unsigned linear_band);
    struct Motion {
        double x_m;
        double v_mps;
    };
    Motion MechanicalStep(Motion from, double force_N, double T, double decay) const;
    Motion PresentMotion() const;
    bool AtMotorMax() const;
    bool AtMotorMin() const;
    // The sine and cosine of the magnet's electrical angle and of the field axis: exact now and
    // then, turned by series in between.
    void RefreshAngle();
    void TurnAngle(double delta_rad);
    // Turns the magnet's angle and the field axis alike by the angle of sine s and cosine c,
    // side by side rather than one after the other.
    void Rotate(double s, double c) {
        const double sin0 = m_sin, fieldSin0 = m_field_sin;
        m_sin = sin0 * c + m_cos * s;
        m_cos = m_cos * c - sin0 * s;
        m_field_sin = fieldSin0 * c + m_field_cos * s;
        m_field_cos = m_field_cos * c - fieldSin0 * s;
    }
    // The mover's blocks of periods: the turns and the EMF for the speed at a block's start, and
    // the exact step of the mover over the block at its end.
    void BeginBlock();
    void EndBlock();
    double ForceAtPresentAngle() const;
    double CurrentCount(int terminal, double noise) const {
        const double i = TerminalCurrent_A(terminal) + m_current_offset_A[static_cast<std::size_t>(terminal)] +
                         m_current_noise_A * noise;
        return AdcValue((m_imax_ps_A + i) * m_per_current_span);
    }

    SimConfig m_config;
    Noise m_noise;
    double m_time_s = 0.0;
    double m_period_s = 50e-6;
    double m_dead_time_s = 1e-6;
    // Star-equivalent windings.
    double m_L_H = 0.0;
    std::array<double, 3> m_R_ohm{};
    double m_psi_Vs = 0.0;        // flux linkage amplitude
    double m_angle_shift_rad = 0.0;  // a delta winding's EMF leads by 30°
    double m_mass_kg = 0.0;
    double m_per_mass = 0.0;
    // Exact discretisation of the two independent phase currents, i ← Φ·i + Γ·u, for each set of
    // terminals whose current lies within the dead time's linear band (bit t: terminal t).
    struct Discrete {
        std::array<double, 4> phi{};
        std::array<double, 4> gamma{};
        // The one loop left when a terminal is open: i ← a·i + g·u.
        double open_a = 0.0;
        double open_g = 0.0;
    };
    std::array<Discrete, 8> m_discrete{};
    double m_ripple_half_A = 0.0;  // the half-width over which the dead time's sign softens
    double m_dead_drop_V = 0.0;    // the dead time's full voltage loss at the nominal bus
    std::array<int, 3> m_phase_of_terminal{0, 1, 2};
    std::array<int, 3> m_terminal_of_phase{0, 1, 2};
    // The open terminal's phase and the two left in the loop, or −1.
    int m_open_phase = -1, m_open_j = 0, m_open_k = 0;
    std::array<int, 3> m_channel_source{0, 1, 2};
    std::array<double, 3> m_i_A{};  // motor-phase currents
    // Where the angle is: the mover at a block's end, ahead at the block's first speed within it.
    double m_x_m = 0.0;
    double m_v_mps = 0.0;
    double m_sin = 0.0, m_cos = 1.0;  // of the magnet's electrical angle
    double m_shift_sin = 0.0, m_shift_cos = 1.0;
    double m_field_sin = 0.0, m_field_cos = 1.0;  // of the winding's field axis (the shift added)
    // Each Hall channel as cos(θ − ψ): cos ψ and sin ψ of its phase.
    std::array<double, 3> m_hall_cos{}, m_hall_sin{};
    // Each channel's offset and amplitude as its source gives them; the stuck channel, or none.
    std::array<double, 3> m_hall_offset_V{}, m_hall_amplitude_V{};
    std::size_t m_missing_channel = 3;
    // The same as fractions of the 5 V input, the amplitude folded into cos ψ and sin ψ (zero for
    // the stuck channel), so that a sample costs three multiplications per channel.
    std::array<double, 3> m_hall_offset_fs{}, m_hall_cos_fs{}, m_hall_sin_fs{};
    double m_hall_noise_fs = 0.0;
    // The sensors' noise as standard deviations in amperes and volts.
    double m_current_noise_A = 0.0;
    double m_bus_noise_V = 0.0;
    // Reciprocals of the sensing spans, the pole pitch in radians per metre, and the mover's
    // viscous constants, so that a period divides nothing.
    double m_per_current_span = 0.0;
    double m_per_bus_span = 0.0;
    double m_rad_per_m = 0.0;
    double m_per_pole_pitch = 0.0;
    double m_magnet_turns = 0.0;
    double m_per_viscous = 0.0;
    double m_viscous_time_s = 0.0;  // M/b
    double m_dead_drop_per_V = 0.0;  // the dead time's loss per volt of bus
    double m_viscous_decay = 1.0;  // e^(−b·T/M) over one block
    // The mechanics change slowly against the windings: the mover is stepped once every
    // kMechanicalBlock periods, exactly for the block's mean force.
    static constexpr int kMechanicalBlock = 8;
    // Turns by series between exact evaluations of the angle, at most this many periods apart.
    static constexpr int kExactEvery = 1024;
    double m_block_x_m = 0.0;      // where the block started
    double m_block_force_sum_N = 0.0;
    int m_block_count = 0;
    double m_force_N = 0.0;  // at the present angle and currents
    // One period's turn and move at the block's speed; each phase's EMF at mid-period as
    // sine[k]·sin θ + cosine[k]·cos θ of the field axis θ at the period's start, and the same
    // for the loops a−c and b−c.
    double m_step_sin = 0.0, m_step_cos = 1.0, m_step_m = 0.0;
    bool m_moving = false;
    std::array<double, 3> m_emf_sin_V{}, m_emf_cos_V{};
    std::array<double, 2> m_emf_ac{}, m_emf_bc{};
    double m_vdc_V = 0.0;          // the bus over the present period
    // The ripple as a turning phasor, advanced one period per step.
    double m_ripple_sin = 0.0, m_ripple_cos = 1.0, m_ripple_step_sin = 0.0, m_ripple_step_cos = 1.0;
    int m_steps_since_exact = 0;
    double m_imax_ps_A = 0.0;
    std::int32_t m_analogue_count = 0;
    std::array<double, 3> m_current_offset_A{};
};

// The per-period path, inline for the firmware's period that calls it.

inline double Plant::ForceAtPresentAngle() const {
    const double s = m_field_sin;
    const double c = m_field_cos;
    const double iAlpha = m_i_A[0];
    const double iBeta = (m_i_A[1] - m_i_A[2]) * kInvSqrt3;
    return m_config.motor.Kf_N_per_A * (-iAlpha * s + iBeta * c);
}

inline void Plant::Electrical(const std::array<double, 3>& pole_V, unsigned linear_band) {
    const Discrete& d = m_discrete[linear_band];
    const double va = pole_V[static_cast<std::size_t>(m_terminal_of_phase[0])];
    const double vb = pole_V[static_cast<std::size_t>(m_terminal_of_phase[1])];
    const double vc = pole_V[static_cast<std::size_t>(m_terminal_of_phase[2])];
    // The EMF at mid-period, the speed held over the block: e_k = −ω·ψ·sin(θ − k·120°).
    const double s = m_field_sin, c = m_field_cos;
    if (m_open_phase >= 0) {
        double e[3];
        for (std::size_t k = 0; k < 3; ++k) e[k] = m_emf_sin_V[k] * s + m_emf_cos_V[k] * c;
        const double v[3] = {va, vb, vc};
        const auto j = static_cast<std::size_t>(m_open_j), k = static_cast<std::size_t>(m_open_k);
        const double u = (v[j] - v[k]) - (e[j] - e[k]);
        m_i_A[j] = d.open_a * m_i_A[j] + d.open_g * u;
        m_i_A[k] = -m_i_A[j];
        m_i_A[static_cast<std::size_t>(m_open_phase)] = 0.0;
        return;
    }
    const double u1 = (va - vc) - (m_emf_ac[0] * s + m_emf_ac[1] * c);
    const double u2 = (vb - vc) - (m_emf_bc[0] * s + m_emf_bc[1] * c);
    const double ia = d.phi[0] * m_i_A[0] + d.phi[1] * m_i_A[1] + d.gamma[0] * u1 + d.gamma[1] * u2;
    const double ib = d.phi[2] * m_i_A[0] + d.phi[3] * m_i_A[1] + d.gamma[2] * u1 + d.gamma[3] * u2;
    m_i_A = {ia, ib, -ia - ib};
}

inline void Plant::Step(const std::array<double, 3>& duty, bool power_on) {
    m_vdc_V = m_config.Vdc_V + m_config.supply.ripple_V * m_ripple_sin;
    const double rs = m_ripple_sin * m_ripple_step_cos + m_ripple_cos * m_ripple_step_sin;
    m_ripple_cos = m_ripple_cos * m_ripple_step_cos - m_ripple_sin * m_ripple_step_sin;
    m_ripple_sin = rs;
    if (power_on) {
        const double vdc = m_vdc_V;
        const double deadDrop_V = m_dead_drop_per_V * vdc;
        std::array<double, 3> pole{};
        unsigned band = 0;
#pragma GCC unroll 3
        for (int t = 0; t < 3; ++t) {
            // Dead time loses a pulse edge in the direction of the current; under half the
            // ripple the current changes sign within the period and the loss grows with it.
            const double i = TerminalCurrent_A(t);
            const bool linear = std::abs(i) < m_ripple_half_A;
            band |= static_cast<unsigned>(linear) << t;
            pole[static_cast<std::size_t>(t)] = duty[static_cast<std::size_t>(t)] * vdc -
                                                 (linear ? 0.0 : std::copysign(deadDrop_V, i));
        }
        Electrical(pole, band);
    } else {
        // The freewheeling diodes return the winding's energy to the bus within microseconds.
        m_i_A = {0.0, 0.0, 0.0};
    }
    // The mover is stepped exactly once a block with the block's mean force; in between the
    // angle turns at the block's starting speed, and the block's end corrects it.
    if (m_moving) {
        Rotate(m_step_sin, m_step_cos);
        m_x_m += m_step_m;
    }
    // The trapezoid over each period, the force at its ends.
    const double forceAfter_N = ForceAtPresentAngle();
    m_block_force_sum_N += m_force_N + forceAfter_N;
    m_force_N = forceAfter_N;
    if (++m_block_count == kMechanicalBlock) EndBlock();
    m_time_s += m_period_s;
}

}  // namespace drivesim::detail
