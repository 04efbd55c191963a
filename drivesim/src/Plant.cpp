#include "Plant.h"

#include "regmap/DriveRegisters.h"

#include <algorithm>
#include <cmath>

namespace drivesim::detail {

namespace {

using Matrix4 = std::array<double, 16>;

Matrix4 Multiply(const Matrix4& a, const Matrix4& b) {
    Matrix4 c{};
    for (int r = 0; r < 4; ++r)
        for (int k = 0; k < 4; ++k)
            for (int col = 0; col < 4; ++col) c[r * 4 + col] += a[r * 4 + k] * b[k * 4 + col];
    return c;
}

// e^M by scaling and squaring with a Taylor series: the norm is brought below 1/2 first, where
// sixteen terms are exact to rounding.
Matrix4 Exponential(Matrix4 m) {
    double norm = 0.0;
    for (double v : m) norm = std::max(norm, std::abs(v));
    int squarings = 0;
    while (norm * 4.0 > 0.5) {
        norm *= 0.5;
        ++squarings;
    }
    const double scale = std::ldexp(1.0, -squarings);
    for (double& v : m) v *= scale;
    Matrix4 result{};
    Matrix4 term{};
    for (int i = 0; i < 4; ++i) result[i * 5] = term[i * 5] = 1.0;
    constexpr int kTerms = 16;
    for (int n = 1; n <= kTerms; ++n) {
        term = Multiply(term, m);
        for (double& v : term) v /= n;
        for (std::size_t i = 0; i < result.size(); ++i) result[i] += term[i];
    }
    for (int i = 0; i < squarings; ++i) result = Multiply(result, result);
    return result;
}

int OtherOf(PhasePair pair, int index) {
    // The two members of a swapped pair, or the index itself.
    const int first = pair == PhasePair::AB ? 0 : pair == PhasePair::BC ? 1 : 2;
    const int second = (first + 1) % 3;
    if (index == first) return second;
    if (index == second) return first;
    return index;
}

}  // namespace

Plant::Plant(const SimConfig& config) : m_config(config), m_noise(config.drive.noise_seed) {
    const MotorTruth& m = config.motor;
    const bool delta = m.connection == Connection::Delta;
    // A delta winding runs as its star equivalent: a third of R and L, the EMF 30° ahead.
    const double windingScale = delta ? 1.0 / 3.0 : 1.0;
    m_L_H = m.L_H * windingScale;
    for (int k = 0; k < 3; ++k) m_R_ohm[k] = m.R_ohm * windingScale * config.faults.resistance_factor[k];
    m_angle_shift_rad = delta ? kPi / 6.0 : 0.0;
    // F = (3/2)·ψ·(2π/PolePitch)·i_q = Kf·i_q.
    m_psi_Vs = m.Kf_N_per_A * m.pole_pitch_m / (3.0 * kPi);
    m_mass_kg = m.moving_mass_kg + m.load_mass_kg / (m.transmission * m.transmission);
    m_per_mass = 1.0 / m_mass_kg;
    m_x_m = m.start_position_m;
    if (config.faults.swapped_phases)
        for (int t = 0; t < 3; ++t) m_phase_of_terminal[t] = OtherOf(*config.faults.swapped_phases, t);
    for (int t = 0; t < 3; ++t) m_terminal_of_phase[static_cast<std::size_t>(m_phase_of_terminal[t])] = t;
    if (config.faults.open_phase) {
        m_open_phase = m_phase_of_terminal[static_cast<std::size_t>(*config.faults.open_phase)];
        m_open_j = (m_open_phase + 1) % 3;
        m_open_k = (m_open_phase + 2) % 3;
    }
    if (config.faults.swapped_halls)
        for (int c = 0; c < 3; ++c) m_channel_source[c] = OtherOf(*config.faults.swapped_halls, c);
    m_shift_sin = std::sin(m_angle_shift_rad);
    m_shift_cos = std::cos(m_angle_shift_rad);
    constexpr double kDegree = kPi / 180.0;
    for (std::size_t c = 0; c < 3; ++c) {
        const int source = m_channel_source[c];
        const double psi = config.halls.angle_deg * kDegree + source * kTwoPi / 3.0 -
                           config.halls.phase_error_deg[static_cast<std::size_t>(source)] * kDegree;
        m_hall_cos[c] = std::cos(psi);
        m_hall_sin[c] = std::sin(psi);
        m_hall_offset_V[c] = config.halls.offset_V[static_cast<std::size_t>(source)];
        m_hall_amplitude_V[c] = config.halls.amplitude_V[static_cast<std::size_t>(source)];
    }
    if (config.faults.missing_hall) m_missing_channel = static_cast<std::size_t>(*config.faults.missing_hall);
    constexpr double kPerHallFullScale = 1.0 / 5.0;  // a 5 V input
    for (std::size_t c = 0; c < 3; ++c) {
        const double amplitude = c == m_missing_channel ? 0.0 : m_hall_amplitude_V[c] * kPerHallFullScale;
        m_hall_offset_fs[c] = m_hall_offset_V[c] * kPerHallFullScale;
        m_hall_cos_fs[c] = amplitude * m_hall_cos[c];
        m_hall_sin_fs[c] = amplitude * m_hall_sin[c];
    }
    m_hall_noise_fs = config.halls.noise_V * kPerHallFullScale;
    const DriveHardware& d = config.drive;
    m_current_noise_A = d.current_noise_lsb * (2.0 * d.imax_ps_A / 1023.0);
    m_bus_noise_V = d.bus_noise_lsb * (d.vdc_max_measurable_V / 1023.0);
    m_per_current_span = 1.0 / (2.0 * d.imax_ps_A);
    m_imax_ps_A = d.imax_ps_A;
    m_current_offset_A = d.current_offset_A;
    m_per_bus_span = 1.0 / d.vdc_max_measurable_V;
    m_analogue_count = AdcCount((d.analogue_input_V - d.analogue_low_V) / (d.analogue_high_V - d.analogue_low_V));
    m_rad_per_m = kTwoPi / m.pole_pitch_m;
    m_per_pole_pitch = 1.0 / m.pole_pitch_m;
    m_magnet_turns = m.magnet_angle_deg / 360.0;
    if (m.viscous_Ns_per_m > 0.0) {
        m_per_viscous = 1.0 / m.viscous_Ns_per_m;
        m_viscous_time_s = m_mass_kg / m.viscous_Ns_per_m;
    }
    m_vdc_V = config.Vdc_V;
    RefreshAngle();
    Configure(m_period_s, m_dead_time_s);
}

void Plant::RefreshAngle() {
    const double angle = ElectricalAngle_rad();
    m_sin = std::sin(angle);
    m_cos = std::cos(angle);
    m_steps_since_exact = 0;
    // The winding's field axis: the magnet's angle plus a delta winding's 30°.
    m_field_sin = m_sin * m_shift_cos + m_cos * m_shift_sin;
    m_field_cos = m_cos * m_shift_cos - m_sin * m_shift_sin;
}

void Plant::TurnAngle(double delta_rad) {
    // Small turns by series; an exact evaluation now and then keeps rounding from drifting.
    if (std::abs(delta_rad) > 0.5 || m_steps_since_exact >= kExactEvery) {
        RefreshAngle();
        return;
    }
    double s = 0.0, c = 1.0;
    SmallSinCos(delta_rad, s, c);
    Rotate(s, c);
}

void Plant::BeginBlock() {
    m_block_x_m = m_x_m;
    m_block_force_sum_N = 0.0;
    m_block_count = 0;
    // The turn of one period at the block's speed, and of half a period: the EMF acts at the
    // period's middle.
    const double omega = m_rad_per_m * m_v_mps;
    const double h = 0.5 * omega * m_period_s;
    double sh = 0.0, ch = 1.0;
    if (std::abs(h) <= 0.5) {
        SmallSinCos(h, sh, ch);
    } else {
        sh = std::sin(h);
        ch = std::cos(h);
    }
    m_step_sin = 2.0 * sh * ch;
    m_step_cos = ch * ch - sh * sh;
    m_step_m = m_v_mps * m_period_s;
    m_moving = m_v_mps != 0.0;
    // e_k = −ω·ψ·sin(θ + h − φ_k), θ the field axis at the period's start, h the half turn and
    // φ_k = k·120°: linear in sin θ and cos θ, with coefficients held over the block.
    const double amplitude = -omega * m_psi_Vs;
    constexpr double kHalfSqrt3 = 0.5 * kSqrt3;
    static constexpr double kCosPhi[3] = {1.0, -0.5, -0.5}, kSinPhi[3] = {0.0, kHalfSqrt3, -kHalfSqrt3};
#pragma GCC unroll 3
    for (std::size_t k = 0; k < 3; ++k) {
        m_emf_sin_V[k] = amplitude * (ch * kCosPhi[k] + sh * kSinPhi[k]);  // cos(h − φ_k)
        m_emf_cos_V[k] = amplitude * (sh * kCosPhi[k] - ch * kSinPhi[k]);  // sin(h − φ_k)
    }
    // What the two loops against phase c see.
    m_emf_ac = {m_emf_sin_V[0] - m_emf_sin_V[2], m_emf_cos_V[0] - m_emf_cos_V[2]};
    m_emf_bc = {m_emf_sin_V[1] - m_emf_sin_V[2], m_emf_cos_V[1] - m_emf_cos_V[2]};
    m_force_N = ForceAtPresentAngle();
}

void Plant::EndBlock() {
    const int periods = m_block_count;
    const double extrapolated_m = m_x_m;
    // A block cut short (the PWM period is about to change) steps over the periods it had.
    const double block_s = periods * m_period_s;
    const double decay = periods == kMechanicalBlock
                             ? m_viscous_decay
                             : std::exp(-m_config.motor.viscous_Ns_per_m * block_s / m_mass_kg);
    const Motion end = MechanicalStep({m_block_x_m, m_v_mps}, m_block_force_sum_N * (0.5 / periods), block_s, decay);
    m_steps_since_exact += periods;
    if (m_v_mps == 0.0 && end.v_mps == 0.0 && end.x_m == m_block_x_m && m_steps_since_exact < kExactEvery) {
        // Held by static friction: the angle, the turns and the force stand as they were.
        m_block_force_sum_N = 0.0;
        m_block_count = 0;
        return;
    }
    m_x_m = end.x_m;
    m_v_mps = end.v_mps;
    // The periods turned the angle at the block's starting speed; the rest of the way is small.
    if (m_x_m != extrapolated_m || m_steps_since_exact >= kExactEvery) TurnAngle(m_rad_per_m * (m_x_m - extrapolated_m));
    BeginBlock();
}

void Plant::Configure(double pwm_period_s, double dead_time_s) {
    if (m_block_count > 0) EndBlock();
    m_period_s = pwm_period_s;
    m_dead_time_s = dead_time_s;
    const double L = m_L_H;
    // The dead time's loss softens over ± Vdc·T/(12L), a constant wider than any period's own
    // ripple (at most ± Vdc·T/(24L)): the loss then stays linear and in phase with the current
    // over every test current, which the inductance test's formula needs.
    m_ripple_half_A = m_config.Vdc_V * pwm_period_s / (12.0 * L);
    m_viscous_decay = std::exp(-m_config.motor.viscous_Ns_per_m * kMechanicalBlock * pwm_period_s / m_mass_kg);
    m_ripple_step_sin = std::sin(kTwoPi * m_config.supply.ripple_Hz * pwm_period_s);
    m_ripple_step_cos = std::cos(kTwoPi * m_config.supply.ripple_Hz * pwm_period_s);
    m_ripple_sin = std::sin(kTwoPi * m_config.supply.ripple_Hz * m_time_s);
    m_ripple_cos = std::cos(kTwoPi * m_config.supply.ripple_Hz * m_time_s);
    m_dead_drop_V = dead_time_s / pwm_period_s * m_config.Vdc_V;
    m_dead_drop_per_V = m_dead_drop_V / m_config.Vdc_V;
    // Within ± half the ripple the dead time's loss grows with the current: a resistance.
    const double deadR_ohm = m_dead_drop_V / m_ripple_half_A;
    for (unsigned band = 0; band < m_discrete.size(); ++band) {
        std::array<double, 3> r = m_R_ohm;
        for (int t = 0; t < 3; ++t)
            if (band & (1U << t)) r[static_cast<std::size_t>(m_phase_of_terminal[t])] += deadR_ohm;
        Discrete& d = m_discrete[band];
        const double Ra = r[0], Rb = r[1], Rc = r[2];
        // Phases a and b against c: L·[[2,1],[1,2]]·di/dt = u − [[Ra+Rc, Rc],[Rc, Rb+Rc]]·i.
        const double inv = 1.0 / (3.0 * L);
        const double minv[4] = {2.0 * inv, -inv, -inv, 2.0 * inv};
        const double rm[4] = {Ra + Rc, Rc, Rc, Rb + Rc};
        // One exponential of [[A, B], [0, 0]]·T gives Φ and Γ = ∫e^{Aτ}dτ·B together.
        Matrix4 aug{};
        for (int row = 0; row < 2; ++row)
            for (int c = 0; c < 2; ++c) {
                const double a = -(minv[row * 2] * rm[c] + minv[row * 2 + 1] * rm[2 + c]);
                aug[static_cast<std::size_t>(row * 4 + c)] = a * pwm_period_s;
                aug[static_cast<std::size_t>(row * 4 + 2 + c)] = minv[row * 2 + c] * pwm_period_s;
            }
        const Matrix4 e = Exponential(aug);
        d.phi = {e[0], e[1], e[4], e[5]};
        d.gamma = {e[2], e[3], e[6], e[7]};
        if (m_config.faults.open_phase) {
            const int open = m_phase_of_terminal[static_cast<int>(*m_config.faults.open_phase)];
            const int j = (open + 1) % 3, k = (open + 2) % 3;
            const double loopR = r[static_cast<std::size_t>(j)] + r[static_cast<std::size_t>(k)];
            d.open_a = std::exp(-loopR * pwm_period_s / (2.0 * L));
            d.open_g = (1.0 - d.open_a) / loopR;
        }
    }
    BeginBlock();
}

double Plant::BusVoltage_V() const {
    return m_config.Vdc_V + m_config.supply.ripple_V * std::sin(kTwoPi * m_config.supply.ripple_Hz * m_time_s);
}

double Plant::ElectricalAngle_rad() const {
    return kTwoPi * m_x_m / m_config.motor.pole_pitch_m + m_config.motor.magnet_angle_deg * kPi / 180.0;
}

double Plant::Force_N() const { return ForceAtPresentAngle(); }

void Plant::StepElectrical(const std::array<double, 3>& pole_V, unsigned linear_band) {
    Electrical(pole_V, linear_band);
}

Plant::Motion Plant::MechanicalStep(Motion from, double force_N, double T, double decay) const {
    const MotorTruth& m = m_config.motor;
    const double drive_N = force_N - m.load_force_N;
    const double v0 = from.v_mps;
    if (v0 == 0.0 && std::abs(drive_N) <= m.coulomb_N) return from;  // static friction holds
    // The way it moves, or from standstill the way it is pushed (never zero here).
    const double direction = std::copysign(1.0, v0 != 0.0 ? v0 : drive_N);
    const double net_N = drive_N - m.coulomb_N * direction;
    double v1 = 0.0;
    double dx = 0.0;
    const bool viscous = m.viscous_Ns_per_m > 0.0;
    const double vInf = viscous ? net_N * m_per_viscous : 0.0;
    const double a = net_N * m_per_mass;
    if (viscous) {
        // dv/dt = (F − b·v)/M solved exactly over T.
        v1 = vInf + (v0 - vInf) * decay;
        dx = vInf * T + (v0 - vInf) * m_viscous_time_s * (1.0 - decay);
    } else {
        v1 = v0 + a * T;
        dx = v0 * T + 0.5 * a * T * T;
    }
    if (v1 * direction < 0.0) {
        // The speed reaches zero within T: the mover stops there (Coulomb friction does not push
        // it back) and, if the force then beats the friction, starts the other way for the rest.
        double stop_s = 0.0;
        if (viscous) {
            // vInf + (v0 − vInf)·e^(−t/τ) = 0.
            stop_s = m_viscous_time_s * std::log((v0 - vInf) / -vInf);
            dx = vInf * stop_s + (v0 - vInf) * m_viscous_time_s * (1.0 - std::exp(-stop_s / m_viscous_time_s));
        } else {
            stop_s = -v0 / a;
            dx = 0.5 * v0 * stop_s;
        }
        stop_s = std::clamp(stop_s, 0.0, T);
        const double rest_s = T - stop_s;
        const double restDecay = viscous ? std::exp(-rest_s / m_viscous_time_s) : 1.0;
        return MechanicalStep({from.x_m + dx, 0.0}, force_N, rest_s, restDecay);
    }
    Motion to{from.x_m + dx, v1};
    if (to.x_m > m.stroke_max_m) {
        to.x_m = m.stroke_max_m;
        to.v_mps = std::min(to.v_mps, 0.0);
    } else if (to.x_m < m.stroke_min_m) {
        to.x_m = m.stroke_min_m;
        to.v_mps = std::max(to.v_mps, 0.0);
    }
    return to;
}

Plant::Motion Plant::PresentMotion() const {
    if (m_block_count == 0) return {m_x_m, m_v_mps};
    // The block's periods so far at their mean force: what its end would make of them now.
    const double t_s = m_block_count * m_period_s;
    const double decay = std::exp(-m_config.motor.viscous_Ns_per_m * t_s / m_mass_kg);
    return MechanicalStep({m_block_x_m, m_v_mps}, m_block_force_sum_N * (0.5 / m_block_count), t_s, decay);
}

// Within a block the angle's place runs ahead at the block's first speed and may pass an end
// stop the mover does not reach: an end is taken from the mover's present motion.
bool Plant::AtMotorMax() const { return m_x_m >= m_config.motor.stroke_max_m && PresentMotion().x_m >= m_config.motor.stroke_max_m; }
bool Plant::AtMotorMin() const { return m_x_m <= m_config.motor.stroke_min_m && PresentMotion().x_m <= m_config.motor.stroke_min_m; }
bool Plant::AtPositiveEnd() const { return m_config.motor.transmission > 0.0 ? AtMotorMax() : AtMotorMin(); }
bool Plant::AtNegativeEnd() const { return m_config.motor.transmission > 0.0 ? AtMotorMin() : AtMotorMax(); }

void Plant::SetMechanicalState(double x_m, double v_mps) {
    m_x_m = x_m;
    m_v_mps = v_mps;
    RefreshAngle();
    BeginBlock();
}

void Plant::SetPhaseCurrents(double ia_A, double ib_A) {
    m_i_A = {ia_A, ib_A, -ia_A - ib_A};
    m_force_N = ForceAtPresentAngle();
}

}  // namespace drivesim::detail
