// The drive's test programs. Their own arithmetic (averages, fits, compensations) is double; the
// loops the registers parameterise are fixed point.
#include "Firmware.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

namespace drivesim::detail {

namespace {

using Complex = std::complex<double>;

constexpr double kAngleToRad = kTwoPi / regmap::kAngleFullTurn;
constexpr double kLsb = regmap::kAdcStep;  // one ADC step in current counts
// The open-loop programs keep their voltage within the current controller's usual range.
constexpr double kOpenLoopVoltageLimit = 0.9 * regmap::kQ15One;
constexpr double kMinimumWatchdog_s = 30.0;
constexpr double kWatchdogMargin_s = 10.0;
constexpr double kNoDeadline_s = std::numeric_limits<double>::infinity();

double Round(double x) { return std::round(x); }
void Set(ProgramVar* v, double value) {
    if (v) v->value = value;
}
double Get(const ProgramVar* v) { return v ? v->value : 0.0; }
double ToQ16(double x) { return std::round(x * 65536.0); }

// T1ONA/T1ONB in seconds: centiseconds when UPGRADE bit 9 is set, else 1/65535 s.
double StartTime_s(const Registers& r, std::int32_t value) {
    return regmap::IsBitSet(static_cast<std::uint32_t>(r.upgrade), regmap::upgrade::kStartTimeInCentiseconds)
               ? value / regmap::upgrade::kCentisecondsPerSecond
               : value / regmap::upgrade::kTimeFractionScale;
}

// "Settled": a signal fed once per slow sample changes by less than a threshold between two
// windows of max(10 ms, a quarter of the time since the last change) each.
class SettleDetector {
public:
    void Begin(double ts_s) {
        m_min_window = std::max<std::int64_t>(2, std::llround(0.010 / ts_s));
        m_no_response_samples = std::llround(kNoResponse_s / ts_s);
        m_cumulative.assign(kSize, 0.0);
        Restart();
    }
    void Restart() {
        m_n = 0;
        m_cumulative[0] = 0.0;
    }
    void Push(double x) {
        if (m_n == 0) m_first = x;
        m_cumulative[static_cast<std::size_t>((m_n + 1) & kMask)] = m_cumulative[static_cast<std::size_t>(m_n & kMask)] + x;
        ++m_n;
    }
    // Also relative: a slow exponential changes little per window long before it has gone, but
    // its last window's change stays a fair share of the change since the restart until about
    // five time constants (2 % at 5τ).
    bool Settled(double threshold) const {
        const std::int64_t w = std::min(std::max(m_min_window, m_n / 4), kSize / 4);
        if (m_n < 2 * w) return false;
        const double change = (At(m_n) - 2.0 * At(m_n - w) + At(m_n - 2 * w)) / static_cast<double>(w);
        const double total = Mean(w) - m_first;
        constexpr double kShareOfTotal = 0.02;
        if (std::abs(change) >= threshold) return false;
        if (std::abs(change) < kShareOfTotal * std::abs(total)) return true;
        // No response at all (an open phase) is settled too, but only after long enough for the
        // slowest winding to have shown one.
        return std::abs(total) < 0.5 * kLsb && m_n >= m_no_response_samples;
    }
    // The mean of the last `w` values.
    double Mean(std::int64_t w) const {
        w = std::min(w, m_n);
        return w > 0 ? (At(m_n) - At(m_n - w)) / static_cast<double>(w) : 0.0;
    }
    std::int64_t Count() const { return m_n; }

private:
    static constexpr std::int64_t kSize = 1 << 16;
    static constexpr std::int64_t kMask = kSize - 1;
    double At(std::int64_t n) const { return m_cumulative[static_cast<std::size_t>(n & kMask)]; }
    std::vector<double> m_cumulative;
    std::int64_t m_n = 0;
    double m_first = 0.0;  // the first value after the restart
    static constexpr double kNoResponse_s = 1.0;
    std::int64_t m_no_response_samples = 2000;
    std::int64_t m_min_window = 20;
};

// A mean over the fast samples of one slow period.
struct SlowMean {
    double sum = 0.0;
    int n = 0;
    void Add(double x) {
        sum += x;
        ++n;
    }
    double Take() {
        const double mean = n ? sum / n : 0.0;
        sum = 0.0;
        n = 0;
        return mean;
    }
};

// A voltage ramp by `step` per slow sample up to `target`.
struct Ramp {
    double value = 0.0;
    double target = 0.0;
    double step = 0.0;
    void Slow() {
        if (step <= 0.0) value = target;
        else if (value < target) value = std::min(target, value + step);
        else if (value > target) value = std::max(target, value - step);
    }
    bool Done() const { return value == target; }
};

// --- P7: the bus voltage, axis off ---

class VdcDetection final : public Program {
public:
    bool UsesPowerStage() const override { return false; }
    void Begin(Firmware& fw) override { m_started = fw.Pvar("STARTED"); }
    void Fast(Firmware& fw) override {
        m_sum += fw.Bus();
        // 100 ms of samples: many ripple periods, noise averaged far below one ADC step.
        if (++m_n >= static_cast<int>(std::lround(0.1 / fw.Tc_s()))) {
            fw.V(Var::var_u2) = Round(m_sum / m_n);
            Set(m_started, 1);
            fw.End();
        }
    }

private:
    ProgramVar* m_started = nullptr;
    double m_sum = 0.0;
    int m_n = 0;
};

// --- P8: the analogue reference input, until stopped ---

class AnalogueReference final : public Program {
public:
    bool UsesPowerStage() const override { return false; }
    double Deadline_s(const Firmware&) const override { return kNoDeadline_s; }
};

// --- P1: the mover aligned on phase A, the start voltage measured ---

class InitialPositioning final : public Program {
public:
    void Begin(Firmware& fw) override {
        m_in1 = fw.Pvar("In1");
        m_started = fw.Pvar("STARTED");
        m_target = Get(m_in1);
        m_settle.Begin(fw.Ts_s());
        m_voltages.Begin(fw.Ts_s());
        m_limit = std::floor(std::min(kOpenLoopVoltageLimit, regmap::kQ15One - fw.Reg().satiq));
        m_u = std::clamp(fw.Reg().reftst / 4.0, 1.0, m_limit);
        m_theta = kTwoPi / 3.0;  // phase B first: phase A alone has an unstable equilibrium
        const std::int64_t window = std::max<std::int64_t>(1, std::llround(0.050 / fw.Ts_s()));
        m_hall_window.assign(static_cast<std::size_t>(window), {});
        if (m_target <= 0.0) {
            fw.AbortRun();
            return;
        }
        fw.AxisOn();
        Set(m_started, 1);
    }
    void Fast(Firmware& fw) override {
        fw.SetTestVoltage(m_u, m_theta);
        const double iq = fw.TestIq(m_theta);
        fw.V(Var::IQ) = Round(iq);
        m_current.Add(iq);
    }
    void Slow(Firmware& fw) override {
        const double i = m_current.Take();
        m_settle.Push(i);
        m_voltages.Push(m_u);
        RecordHalls(fw);
        const double now = fw.Time_s();
        // A slow winding's tail is about 1.6 times the change over a window of τ: judging the
        // current on a quarter of an ADC step keeps the secant off unsettled points.
        if (m_settle.Settled(0.25 * kLsb)) {
            m_on_target = std::abs(i - m_target) <= std::max(kLsb, 0.01 * m_target);
            if (!m_on_target) {
                if (!StepVoltage(fw, i)) return;
            } else if (!m_established) {
                m_established = true;
                m_established_s = now;
            }
        }
        if (!m_established) return;
        const Registers& r = fw.Reg();
        if (m_stage == Stage::PhaseB && now - m_established_s >= StartTime_s(r, r.t1onb)) {
            m_stage = Stage::PhaseA;
            m_theta = 0.0;
            m_established_s = now;
        } else if (m_stage == Stage::PhaseA && now - m_established_s >= StartTime_s(r, r.t1ona)) {
            m_stage = Stage::Stopping;
        } else if (m_stage == Stage::Stopping && m_on_target && HallsStill()) {
            const double u = m_voltages.Mean(std::llround(0.020 / fw.Ts_s()));
            fw.V(Var::REFTST_V) = Round(u);
            fw.V(Var::RINCTST_V) = std::max(1.0, Round(u / 64.0));
            fw.End();
        }
    }
    void Abort(Firmware&) override { Set(m_in1, 0); }
    double Deadline_s(const Firmware& fw) const override {
        const Registers& r = fw.Reg();
        return std::max(kMinimumWatchdog_s, StartTime_s(r, r.t1ona) + StartTime_s(r, r.t1onb) + kWatchdogMargin_s);
    }

private:
    enum class Stage { PhaseB, PhaseA, Stopping };

    // A secant step towards the wanted current, at most doubling the voltage.
    bool StepVoltage(Firmware& fw, double i) {
        if (m_u >= m_limit && i < 0.5 * m_target) {
            fw.AbortRun();  // an open phase: the current cannot be reached
            return false;
        }
        double next = 0.0;
        // The secant only through points far enough apart to rise above the noise, and only
        // while the current grows with the voltage; else scale, or double from nothing.
        const double slope = m_has_previous ? (i - m_previous_i) / (m_u - m_previous_u) : 0.0;
        if (m_has_previous && std::abs(i - m_previous_i) > 0.05 * m_target && slope > 0.0)
            next = m_u + (m_target - i) / slope;
        else
            next = i > 0.05 * m_target ? m_u * m_target / i : 2.0 * m_u;
        next = std::clamp(next, 0.5 * m_u, std::min(2.0 * m_u, m_limit));
        m_previous_u = m_u;
        m_previous_i = i;
        m_has_previous = true;
        m_u = Round(next);
        m_on_target = false;
        m_settle.Restart();
        fw.ExtendWatchdog(kMinimumWatchdog_s);
        return true;
    }
    void RecordHalls(const Firmware& fw) {
        m_hall_window[m_hall_next % m_hall_window.size()] = fw.Halls();
        ++m_hall_next;
    }
    // The raw Hall readings stayed within 2 ADC steps over the last 50 ms (noise alone can span
    // two codes).
    bool HallsStill() const {
        if (m_hall_next < m_hall_window.size()) return false;
        for (std::size_t c = 0; c < 3; ++c) {
            std::int32_t lo = std::numeric_limits<std::int32_t>::max(), hi = std::numeric_limits<std::int32_t>::min();
            for (const auto& h : m_hall_window) {
                lo = std::min(lo, h[c]);
                hi = std::max(hi, h[c]);
            }
            if (hi - lo > 2 * regmap::kAdcStep) return false;
        }
        return true;
    }

    ProgramVar* m_in1 = nullptr;
    ProgramVar* m_started = nullptr;
    double m_target = 0.0;
    double m_limit = 0.0;
    double m_u = 0.0;
    double m_theta = 0.0;
    bool m_has_previous = false;
    double m_previous_u = 0.0;
    double m_previous_i = 0.0;
    bool m_established = false;
    bool m_on_target = false;
    double m_established_s = 0.0;
    Stage m_stage = Stage::PhaseB;
    SlowMean m_current;
    SettleDetector m_settle;
    SettleDetector m_voltages;
    std::vector<std::array<std::int32_t, 3>> m_hall_window;
    std::size_t m_hall_next = 0;
};

// --- P3 and P4: an open-loop DC vector on phase A ---

class DcVectorTest : public Program {
public:
    void Begin(Firmware& fw) override {
        m_started = fw.Pvar("STARTED");
        m_ramp.target = std::clamp(Get(fw.Pvar("RefTest")), -kOpenLoopVoltageLimit, kOpenLoopVoltageLimit);
        m_ramp.step = Get(fw.Pvar("RIncTest"));
        m_settle.Begin(fw.Ts_s());
        fw.AxisOn();
        Set(m_started, 1);
    }
    void Fast(Firmware& fw) override {
        fw.SetTestVoltage(m_ramp.value, 0.0);
        const double iq = fw.TestIq(0.0);
        fw.V(Var::IQ) = Round(iq);
        fw.V(Var::ID) = Round(fw.TestId(0.0));
        m_current.Add(iq);
        if (m_settled) Measure(fw);
    }
    void Slow(Firmware& fw) override {
        m_ramp.Slow();
        m_settle.Push(m_current.Take());
        if (!m_settled && m_ramp.Done() && m_settle.Settled(SettleThreshold())) {
            m_settled = true;
            Settled(fw, m_settle.Mean(1));
        }
        if (!m_ramp.Done()) m_settle.Restart();
    }

protected:
    virtual void Settled(Firmware& fw, double current) = 0;
    // The change between two windows under which the current counts as settled.
    virtual double SettleThreshold() const { return kLsb; }
    virtual void Measure(Firmware& fw) = 0;
    double Target() const { return m_ramp.target; }

private:
    ProgramVar* m_started = nullptr;
    Ramp m_ramp;
    SlowMean m_current;
    SettleDetector m_settle;
    bool m_settled = false;
};

class PhaseConnection final : public DcVectorTest {
protected:
    void Settled(Firmware&, double) override {}
    void Measure(Firmware& fw) override {
        m_a += fw.Ia();
        m_b += fw.Ib();
        if (++m_n >= kSamples) {
            fw.V(Var::var_i1) = Round(m_a / m_n);
            fw.V(Var::var_i2) = Round(m_b / m_n);
            fw.End();
        }
    }
    void Abort(Firmware& fw) override { fw.V(Var::var_i1) = fw.V(Var::var_i2) = 0.0; }

private:
    static constexpr int kSamples = 256;
    double m_a = 0.0, m_b = 0.0;
    int m_n = 0;
};

class ResistanceTest final : public DcVectorTest {
protected:
    // A slow winding's tail is about 1.6 times the change over a window of τ: a quarter of an
    // ADC step keeps what is left of it far below the noise of the mean.
    double SettleThreshold() const override { return 0.25 * kLsb; }
    void Settled(Firmware& fw, double current) override {
        const double wanted = Get(fw.Pvar("In1"));
        if (wanted > 0.0 && current < 0.5 * wanted) {
            fw.AbortRun();
            return;
        }
        fw.TriggerLogger();
    }
    void Measure(Firmware& fw) override {
        m_bus += fw.Bus();
        ++m_n;
        // The bus is averaged over the log, and over at least kBusWindow samples: a short log
        // (400 points) alone leaves the mean 0.005 V rms of the sensor's noise, half of what the
        // supply's reading may be off.
        if ((fw.LoggerFull() || !fw.LoggerTriggered()) && m_n >= kBusWindow) {
            fw.V(Var::var_i1) = Target();
            fw.V(Var::var_u2) = Round(m_bus / m_n);
            fw.End();
        }
    }
    void Abort(Firmware& fw) override { fw.EmptyLogger(); }
    double Deadline_s(const Firmware&) const override { return kMinimumWatchdog_s; }

private:
    static constexpr int kBusWindow = 4000;
    double m_bus = 0.0;
    int m_n = 0;
};

// --- P5: the inductance from a pulsating voltage on the aligned axis ---

class InductanceTest final : public Program {
public:
    void Begin(Firmware& fw) override {
        m_started = fw.Pvar("STARTED");
        m_in1 = Get(fw.Pvar("In1"));
        m_products.assign(regmap::kAngleFullTurn, Complex{});
        m_voltages.assign(regmap::kAngleFullTurn, Complex{});
        m_limit = kOpenLoopVoltageLimit;
        if (m_in1 <= 0.0) m_in1 = 0.25 * regmap::kQ15One;
        SetFrequency(fw, kStartIncrement);
        fw.AxisOn();
        Set(m_started, 1);
    }
    void Fast(Firmware& fw) override {
        const double theta = m_angle * kAngleToRad;
        // The current of this sample against the angle of this sample; the delay of the voltage
        // behind it is inverted when the impedance is computed.
        const Complex product = fw.IAlpha() * std::polar(1.0, -theta);
        Complex& slot = m_products[static_cast<std::size_t>(m_index)];
        m_sum += product - slot;
        slot = product;
        ++m_samples;
        const Complex phasor = m_sum * (2.0 / m_period);
        if (m_stage == Stage::Ramp) Ramp(fw, phasor, std::abs(fw.IAlpha()));
        if (m_stage == Stage::Log) {
            const Complex logged = phasor * m_factor;
            fw.V(Var::IQ) = logged.real();
            fw.V(Var::ID) = -logged.imag();
            if (fw.LoggerFull()) {
                fw.V(Var::var_i1) = m_u;
                fw.End();
                return;
            }
        }
        if (m_index == m_period - 1 && m_samples >= m_period) PeriodEnd(fw, phasor, m_voltage_sum * (2.0 / m_period));
        fw.SetAlphaBeta(m_u * std::cos(theta), 0.0);
        // The voltage as quantised by the modulator, against the same angle: a compare tick is
        // a few per cent of a small winding's test voltage, and its pattern follows the period.
        const Complex applied = fw.AppliedAlpha() * std::polar(1.0, -theta);
        Complex& voltageSlot = m_voltages[static_cast<std::size_t>(m_index)];
        m_voltage_sum += applied - voltageSlot;
        voltageSlot = applied;
        m_index = (m_index + 1) % m_period;
        m_angle = (m_angle + m_increment) & (regmap::kAngleFullTurn - 1);
        fw.V(Var::THTST) = m_angle;
    }
    void Abort(Firmware& fw) override { fw.EmptyLogger(); }
    double Deadline_s(const Firmware&) const override { return kMinimumWatchdog_s; }

private:
    enum class Stage { Ramp, Settle, Log };
    static constexpr std::uint32_t kStartIncrement = 2048;
    static constexpr std::uint32_t kMaxIncrement = 4096;
    // Phasors are compared over blocks of at least this many samples, so that noise stays far
    // below the 0.1 % settling criterion.
    static constexpr int kBlockSamples = 4096;

    void SetFrequency(Firmware& fw, std::uint32_t increment) {
        m_increment = std::clamp<std::uint32_t>(increment, 1, kMaxIncrement);
        m_period = static_cast<int>(regmap::kAngleFullTurn / m_increment);
        m_angle = 0;
        m_index = 0;
        m_samples = 0;
        m_sum = {};
        std::fill(m_products.begin(), m_products.begin() + m_period, Complex{});
        std::fill(m_voltages.begin(), m_voltages.begin() + m_period, Complex{});
        m_voltage_sum = {};
        m_u = 0.0;
        m_trimmed = false;
        m_stage = Stage::Ramp;
        m_block_sum = {};
        m_block_voltage = {};
        m_block_periods = 0;
        m_has_block = false;
        fw.V(Var::TINCTST) = m_increment;
        // Three periods of ramp up to the limit, then settling: plan generously.
        fw.ExtendWatchdog(kMinimumWatchdog_s + 10.0 * m_period * fw.Tc_s());
    }
    void Ramp(Firmware& fw, const Complex& phasor, double instantaneous) {
        // A low impedance reaches the current within the first period: watch the samples too.
        if (instantaneous >= m_in1 || (std::abs(phasor) >= m_in1 && m_samples >= m_period)) {
            Hold();
            return;
        }
        m_u = std::min(m_limit, m_u + m_limit / (3.0 * m_period));
        if (m_u >= m_limit) {
            if (m_at_limit_samples++ < m_period) return;  // one whole period at the limit
            m_at_limit_samples = 0;
            const double magnitude = std::abs(phasor);
            if (magnitude < 0.5 * m_in1 && m_increment > 1) {
                // Mostly inductive: the current grows as the frequency falls. A current well
                // above the dead time's loss keeps the measurement linear.
                // A phasor below one ADC step is mostly the current's noise: extrapolating from
                // it could drop the frequency to where the winding looks nearly resistive, so
                // the frequency is only halved and the current looked at again.
                std::uint32_t increment = m_increment / 2;
                for (double expected = 2.0 * magnitude; magnitude >= kLsb && increment > 1 && expected < m_in1;
                     expected *= 2.0)
                    increment /= 2;
                SetFrequency(fw, increment);
                return;
            }
            Hold();
        }
    }
    void Hold() {
        m_hold_sample = m_samples;
        m_u = Round(m_u);
        m_stage = Stage::Settle;
        m_block_sum = {};
        m_block_voltage = {};
        m_block_periods = 0;
        m_has_block = false;
    }
    void PeriodEnd(Firmware& fw, const Complex& phasor, const Complex& voltage) {
        if (m_stage != Stage::Settle) return;
        // The ramp stops at the first sample reaching the test current, which a low impedance
        // passes within a sample: bring the amplitude back to it, once. A current above the one
        // the mover was aligned with could shake it, and its EMF would bend the phase.
        if (!m_trimmed && std::abs(phasor) > kTrimAbove * m_in1) {
            m_trimmed = true;
            m_u = Round(m_u * m_in1 / std::abs(phasor));
            Hold();
            return;
        }
        m_block_sum += phasor;
        m_block_voltage += voltage;
        const int block = std::max(1, kBlockSamples / m_period);
        if (++m_block_periods < block) return;
        const Complex mean = m_block_sum / static_cast<double>(m_block_periods);
        const Complex meanVoltage = m_block_voltage / static_cast<double>(m_block_periods);
        m_block_sum = {};
        m_block_voltage = {};
        m_block_periods = 0;
        const bool steady = m_has_block && std::abs(mean - m_last_block) < 1e-3 * std::abs(mean);
        m_last_block = mean;
        m_has_block = true;
        if (!steady) return;
        if (!Identify(fw, mean, meanVoltage)) {
            fw.AbortRun();
            return;
        }
        // A nearly resistive winding shows its inductance only in a small phase: a higher
        // frequency makes it larger (and keeps a free mover stiller).
        const double omega = m_increment * kAngleToRad / fw.Tc_s();
        if (omega * m_tau_s < kMinimumReactance && m_increment < kMaxIncrement) {
            // The impedance only grows with the frequency: the same voltage stays safe.
            const double u = m_u;
            SetFrequency(fw, 2 * m_increment);
            m_u = u;
            m_trimmed = true;
            Hold();
            return;
        }
        // A winding's transient decays with τ: the phasor is steady only after 5τ̂ (a slow
        // exponential changes little from one block to the next long before it has gone).
        if (static_cast<double>(m_samples - m_hold_sample) * fw.Tc_s() < kSettlingTaus * m_tau_s) return;
        m_stage = Stage::Log;
        fw.TriggerLogger();
    }
    // Exact inversion of the sampled RL winding with one period of delay and a hold.
    bool Identify(Firmware& fw, const Complex& current, const Complex& voltage) {
        const double tc = fw.Tc_s();
        const double delta = m_increment * kAngleToRad;
        const double omega = delta / tc;
        const Complex z = voltage / current;
        const Complex w = z * std::polar(1.0, -delta);
        if (w.imag() == 0.0) return false;
        const double a = std::cos(delta) - w.real() * std::sin(delta) / w.imag();
        if (!(a > 0.0 && a < 1.0)) return false;
        const double r = w.imag() * (1.0 - a) / std::sin(delta);
        const double l = -r * tc / std::log(a);
        if (!(r > 0.0 && l > 0.0)) return false;
        const Complex equivalent = m_u * Complex(r, -omega * l) / (r * r + omega * omega * l * l);
        m_factor = equivalent / current;
        m_tau_s = l / r;
        return std::isfinite(m_factor.real()) && std::isfinite(m_factor.imag());
    }

    ProgramVar* m_started = nullptr;
    double m_in1 = 0.0;
    double m_limit = 0.0;
    double m_u = 0.0;
    std::uint32_t m_increment = kStartIncrement;
    std::uint32_t m_angle = 0;
    int m_period = 32;
    int m_index = 0;
    std::int64_t m_samples = 0;
    int m_at_limit_samples = 0;
    std::vector<Complex> m_products;
    std::vector<Complex> m_voltages;
    Complex m_sum{};
    Complex m_voltage_sum{};
    Complex m_block_voltage{};
    Stage m_stage = Stage::Ramp;
    Complex m_block_sum{};
    int m_block_periods = 0;
    bool m_has_block = false;
    Complex m_last_block{};
    Complex m_factor{1.0, 0.0};
    std::int64_t m_hold_sample = 0;
    double m_tau_s = 0.0;
    bool m_trimmed = false;
    static constexpr double kTrimAbove = 1.1;
    static constexpr double kMinimumReactance = 0.1;  // ωL/R
    static constexpr double kSettlingTaus = 5.0;
};

// --- P2: Hall offsets, gains and angles from a slowly turning vector ---

class HallDetection final : public Program {
public:
    void Begin(Firmware& fw) override {
        m_run = fw.Pvar("run_test");
        m_ramp.target = std::clamp(Get(fw.Pvar("RefTest")), -kOpenLoopVoltageLimit, kOpenLoopVoltageLimit);
        m_ramp.step = Get(fw.Pvar("RIncTest"));
        // The results start as the present calibration: a run that ends early changes nothing.
        const Registers& r = fw.Reg();
        fw.V(Var::AD6OFF) = r.hall_off[0];
        fw.V(Var::AD3OFF) = r.hall_off[1];
        fw.V(Var::SFTCWEAK) = r.hall_off[2];
        fw.V(Var::SRECTCOMP) = r.hall_gain[0];
        fw.V(Var::SIN2REC) = r.hall_gain[1];
        fw.V(Var::KSLIP) = r.hall_gain[2];
        fw.V(Var::ZAOFF) = r.zaoff;
        fw.V(Var::ALPHA) = r.alpha;
        m_pass_samples = std::llround(kPeriodsPerPass / (kTurnsPerSecond * fw.Ts_s()));
        m_samples.reserve(static_cast<std::size_t>(2 * m_pass_samples + 2));
        fw.AxisOn();
    }
    void Fast(Firmware& fw) override { fw.SetTestVoltage(m_ramp.value, m_theta); }
    void Slow(Firmware& fw) override {
        if (Get(m_run) == 0.0) {
            fw.End();
            return;
        }
        if (!m_ramp.Done()) {
            m_ramp.Slow();
            return;
        }
        m_samples.push_back({m_theta, fw.Halls()});
        const double step = kTwoPi * kTurnsPerSecond * fw.Ts_s();
        const auto n = static_cast<std::int64_t>(m_samples.size());
        if (n < m_pass_samples) {
            m_theta += step;
        } else if (n < 2 * m_pass_samples) {
            m_theta -= step;
        } else {
            Evaluate(fw);
            fw.End();
        }
    }
    void Abort(Firmware& fw) override {
        if (fw.V(Var::WEAKINC) == 0.0) fw.V(Var::WEAKINC) = -1;
    }
    double Deadline_s(const Firmware& fw) const override {
        return std::max(kMinimumWatchdog_s, 2.0 * kPeriodsPerPass / kTurnsPerSecond + kWatchdogMargin_s +
                                                std::abs(m_ramp.target) / std::max(1.0, m_ramp.step) * fw.Ts_s());
    }

private:
    // One electrical period per second, two periods forward and two back: the mover follows like
    // a stepper and its back-EMF stays negligible.
    static constexpr double kTurnsPerSecond = 1.0;
    static constexpr double kPeriodsPerPass = 2.0;
    struct Sample {
        double theta;
        std::array<std::int32_t, 3> halls;
    };

    void Evaluate(Firmware& fw) {
        double offset[3], amplitude[3], phase[3];
        double largest = 0.0;
        for (std::size_t c = 0; c < 3; ++c) {
            std::int32_t lo = std::numeric_limits<std::int32_t>::max(), hi = std::numeric_limits<std::int32_t>::min();
            for (const Sample& s : m_samples) {
                lo = std::min(lo, s.halls[c]);
                hi = std::max(hi, s.halls[c]);
            }
            offset[c] = 0.5 * (hi + lo);
            amplitude[c] = 0.5 * (hi - lo);
            largest = std::max(largest, amplitude[c]);
            // h = amplitude·cos(θ − φ): the channel's phase against the applied angle.
            double sc = 0.0, ss = 0.0;
            for (const Sample& s : m_samples) {
                sc += (s.halls[c] - offset[c]) * std::cos(s.theta);
                ss += (s.halls[c] - offset[c]) * std::sin(s.theta);
            }
            phase[c] = std::atan2(ss, sc);
        }
        for (std::size_t c = 0; c < 3; ++c) {
            if (amplitude[c] < 0.1 * largest || amplitude[c] < kMinimumAmplitude) {
                fw.V(Var::WEAKINC) = -1;
                return;
            }
        }
        double gain[3];
        for (std::size_t c = 0; c < 3; ++c)
            gain[c] = std::round(regmap::kHallGainUnity * static_cast<double>(regmap::kHallGainUnity) / amplitude[c]);
        const double alpha_rad = 0.5 * Wrap(phase[1] - phase[2] + kTwoPi / 3.0);
        // The calibrated angle over the forward pass must rise with the applied one.
        const auto hallAngle = [&](const Sample& s) {
            const double phi[3] = {0.0, kTwoPi / 3.0 + alpha_rad, 2.0 * kTwoPi / 3.0 - alpha_rad};
            double a = 0.0, b = 0.0;
            for (std::size_t c = 0; c < 3; ++c) {
                const double h = (s.halls[c] - offset[c]) * gain[c] / regmap::kHallGainUnity;
                a += h * std::cos(phi[c]);
                b += h * std::sin(phi[c]);
            }
            return std::atan2(b, a);
        };
        double travelled = 0.0;
        double previous = hallAngle(m_samples.front());
        Complex difference{};
        for (std::size_t k = 0; k < m_samples.size(); ++k) {
            const double angle = hallAngle(m_samples[k]);
            if (static_cast<std::int64_t>(k) < m_pass_samples) travelled += Wrap(angle - previous);
            previous = angle;
            difference += std::polar(1.0, m_samples[k].theta - angle);
        }
        if (travelled < 0.0) {
            fw.V(Var::WEAKINC) = -2;
            return;
        }
        // Forward and back, the mover's lag behind the vector cancels in the mean.
        const double zaoff_rad = std::arg(difference);
        fw.V(Var::AD6OFF) = Round(offset[0]);
        fw.V(Var::AD3OFF) = Round(offset[1]);
        fw.V(Var::SFTCWEAK) = Round(offset[2]);
        fw.V(Var::SRECTCOMP) = gain[0];
        fw.V(Var::SIN2REC) = gain[1];
        fw.V(Var::KSLIP) = gain[2];
        fw.V(Var::ZAOFF) = Round(zaoff_rad / kAngleToRad);
        fw.V(Var::ALPHA) = Round(alpha_rad / kAngleToRad);
        fw.V(Var::WEAKINC) = 1;
    }
    static double Wrap(double angle) { return std::remainder(angle, kTwoPi); }

    static constexpr double kMinimumAmplitude = 1000.0;
    ProgramVar* m_run = nullptr;
    Ramp m_ramp;
    double m_theta = 0.0;
    std::int64_t m_pass_samples = 0;
    std::vector<Sample> m_samples;
};

// --- The closed loops, fixed point as the registers encode them ---

// The d and q current controllers with the output filter; voltages in counts.
class CurrentLoop {
public:
    struct Output {
        std::int32_t ud;
        std::int32_t uq;
    };
    Output Step(const Registers& r, std::int32_t id, std::int32_t iq, std::int32_t idRef, std::int32_t iqRef) {
        m_d.kp = m_q.kp = {r.kpi, r.sftkpi};
        m_d.ki = m_q.ki = {r.kii, r.sftkii};
        const std::int64_t limitD = regmap::SaturationLimit(r.satid);
        const std::int64_t limitQ = regmap::SaturationLimit(r.satiq);
        m_fd.coefficient = m_fq.coefficient = r.filterq;
        const std::int32_t ud = m_d.Step(idRef - id, limitD, limitD);
        const std::int32_t uq = m_q.Step(iqRef - iq, limitQ, limitQ);
        return {static_cast<std::int32_t>(Clamp(m_fd.Step(ud), limitD)),
                static_cast<std::int32_t>(Clamp(m_fq.Step(uq), limitQ))};
    }

private:
    PiController m_d, m_q;
    FirstOrderFilter m_fd, m_fq;
};

std::int32_t ToCount(double x) { return RoundSaturated(x); }

// A chain of biquad slots from `first`, `count` long.
class BiquadChain {
public:
    void Configure(const Registers& r, int first, int count) {
        m_count = 0;
        for (int k = 0; k < count && first + k < regmap::kBiquadSlots; ++k) {
            Biquad& b = m_slots[static_cast<std::size_t>(m_count++)];
            const std::int32_t* c = r.bq[first + k];
            b.b0 = c[0];
            b.b1 = c[1];
            b.b2 = c[2];
            b.a1 = c[3];
            b.a2 = c[4];
            b.sf = c[5];
        }
    }
    std::int64_t Step(std::int64_t x) {
        for (int k = 0; k < m_count; ++k) x = m_slots[static_cast<std::size_t>(k)].Step(x);
        return x;
    }

private:
    std::array<Biquad, regmap::kBiquadSlots> m_slots{};
    int m_count = 0;
};

// Commutation from the calibrated Halls: the rotor's d axis, a position counter built from the
// wrapped angle steps, and the speed as the position's change per slow sample.
class HallCommutation {
public:
    void Begin(Firmware& fw) {
        m_angle = fw.CommutationAngle().angle;
        m_accumulated = 0;
        m_position = m_previous_position = 0;
    }
    // Each current-loop sample: false when the Hall vector has collapsed.
    [[gnu::always_inline]] bool Fast(Firmware& fw) {
        const Firmware::HallAngle hall = fw.CommutationAngle();
        if (hall.magnitude < kMinimumHallVector) return false;
        const auto step = static_cast<std::int16_t>(static_cast<std::uint16_t>(hall.angle - m_angle));
        m_accumulated += step;
        m_angle = hall.angle;
        m_position = m_accumulated >> fw.Reg().dbtth;
        m_cos = hall.cos;
        m_sin = hall.sin;
        return true;
    }
    // Each slow sample: the speed in position counts per slow period.
    std::int64_t Slow() {
        const std::int64_t speed = m_position - m_previous_position;
        m_previous_position = m_position;
        return speed;
    }
    std::int64_t Position() const { return m_position; }
    // The position in angle steps, 2^DBTTH of them to a position count.
    std::int64_t Accumulated() const { return m_accumulated; }
    double Id(const Firmware& fw) const { return fw.IAlpha() * m_cos + fw.IBeta() * m_sin; }
    double Iq(const Firmware& fw) const { return -fw.IAlpha() * m_sin + fw.IBeta() * m_cos; }
    void Apply(Firmware& fw, double ud, double uq) const {
        fw.SetAlphaBeta(ud * m_cos - uq * m_sin, ud * m_sin + uq * m_cos);
    }

private:
    // 25 % of the calibrated vector's nominal 16384.
    static constexpr double kMinimumHallVector = 0.25 * regmap::kHallGainUnity;
    std::int32_t m_angle = 0;
    std::int64_t m_accumulated = 0;
    std::int64_t m_position = 0;
    std::int64_t m_previous_position = 0;
    double m_cos = 1.0, m_sin = 0.0;
};

// --- P6: the current controller's step in the test frame ---

class CurrentTuning final : public Program {
public:
    void Begin(Firmware& fw) override {
        m_in1 = ToCount(Get(fw.Pvar("In1")));
        m_protection = Get(fw.Pvar("Imax_Prot_Test"));
        m_flag = fw.Pvar("test_flag");
        fw.AxisOn();
        Set(fw.Pvar("STARTED"), 1);
        fw.TriggerLogger();
    }
    void Fast(Firmware& fw) override {
        const double iq = fw.TestIq(0.0), id = fw.TestId(0.0);
        if (m_protection > 0.0 && iq * iq + id * id > m_protection * m_protection) {
            Set(m_flag, 0);
            fw.End();
            return;
        }
        // Hold 0 for 10 samples, the step to sample 100, then a ramp back to 0.
        std::int32_t reference = 0;
        if (m_sample >= kStepAt && m_sample < kHoldUntil) reference = m_in1;
        else if (m_sample >= kHoldUntil)
            reference = ToCount(m_in1 * std::max(0.0, 1.0 - double(m_sample - kHoldUntil) / kRampSamples));
        const CurrentLoop::Output u = m_loop.Step(fw.Reg(), ToCount(id), ToCount(iq), 0, reference);
        // The test frame's d axis lies 90° behind q.
        fw.SetAlphaBeta(u.uq, -u.ud);
        fw.V(Var::Current_Reference) = reference;
        fw.V(Var::Motor_Current) = ToCount(iq);
        fw.V(Var::Voltage_Reference) = u.uq;
        fw.V(Var::IQ) = ToCount(iq);
        fw.V(Var::ID) = ToCount(id);
        if (++m_sample > kHoldUntil + kRampSamples && (fw.LoggerFull() || !fw.LoggerTriggered())) fw.End();
    }
    void Abort(Firmware& fw) override { fw.EmptyLogger(); }

private:
    static constexpr int kStepAt = 10;
    static constexpr int kHoldUntil = 100;
    static constexpr int kRampSamples = 20;
    std::int32_t m_in1 = 0;
    double m_protection = 0.0;
    ProgramVar* m_flag = nullptr;
    CurrentLoop m_loop;
    int m_sample = 0;
};

// --- P9: the total mass from accelerating and braking at a constant force ---

class MassIdentification final : public Program {
public:
    void Begin(Firmware& fw) override {
        m_in1 = ToCount(Get(fw.Pvar("In1")));
        m_limit = std::abs(Get(fw.Pvar("LimitSpeedMax")));
        m_protection = Get(fw.Pvar("Imax_Prot_Test"));
        m_flag = fw.Pvar("test_flag");
        m_time = fw.Pvar("delta_time");
        m_speed = fw.Pvar("delta_speed");
        const MotorTruth& m = fw.Config().motor;
        // The drive's test travel, in position counts.
        m_travel = fw.Config().drive.test_travel_fraction * (m.stroke_max_m - m.stroke_min_m) *
                   std::exp2(regmap::kAngleBits - fw.Reg().dbtth) / m.pole_pitch_m;
        m_samples.reserve(20000);
        m_hall.Begin(fw);
        fw.AxisOn();
        Set(fw.Pvar("STARTED"), 1);
    }
    void Fast(Firmware& fw) override {
        if (!m_hall.Fast(fw)) {
            fw.Trip(regmap::mer::kHallMissing);
            return;
        }
        const double id = m_hall.Id(fw), iq = m_hall.Iq(fw);
        if (m_protection > 0.0 && iq * iq + id * id > m_protection * m_protection) {
            fw.Trip(regmap::mer::kShortCircuit);
            return;
        }
        m_iq.Add(iq);
        m_angleSteps.Add(static_cast<double>(m_hall.Accumulated()));
        const std::int32_t reference = m_stage == Stage::Accelerate ? m_in1 : -m_in1;
        const CurrentLoop::Output u = m_loop.Step(fw.Reg(), ToCount(id), ToCount(iq), 0, reference);
        m_hall.Apply(fw, u.ud, u.uq);
        fw.V(Var::IQ) = ToCount(iq);
        fw.V(Var::ID) = ToCount(id);
    }
    void Slow(Firmware& fw) override {
        const std::int64_t speed = m_hall.Slow();
        const double iq = m_iq.Take();
        const auto position = static_cast<double>(m_hall.Position());
        fw.V(Var::Load_Speed) = static_cast<double>(speed);
        fw.V(Var::Load_Position) = position;
        // The fit takes the slow period's mean of the unrounded position: a position count is 2^DBTTH
        // angle steps, and averaging the current samples' Hall noise narrows the fitted
        // acceleration's spread several times over.
        const double meanPosition = m_angleSteps.Take() / std::exp2(fw.Reg().dbtth);
        m_samples.push_back({meanPosition, static_cast<double>(speed), iq, m_stage == Stage::Accelerate});
        const auto n = static_cast<std::int64_t>(m_samples.size());
        const double elapsed_s = static_cast<double>(n) * fw.Ts_s();
        if (m_stage == Stage::Accelerate) {
            m_peak = std::max(m_peak, static_cast<double>(speed));
            if (static_cast<double>(speed) < -kStandstill && elapsed_s > kSettle_s) return Finish(fw, -1.0, true);
            if (elapsed_s > kSettle_s && (m_peak <= 0.0 && elapsed_s > kNoMotion_s)) return Finish(fw, -2.0, false);
            if (elapsed_s > kSettle_s && std::abs(iq) < 0.5 * m_in1 && m_peak < m_limit) return Finish(fw, -2.0, false);
            if (static_cast<double>(speed) >= m_limit) {
                m_stage = Stage::Brake;
                m_brake_from = n;
            } else if (std::abs(position) >= m_travel || elapsed_s > kLongest_s) {
                return Finish(fw, 0.0, false);
            }
        } else if (speed <= 0) {
            Evaluate(fw);
        }
    }
    void Abort(Firmware&) override {
        if (Get(m_time) == 0.0) Set(m_time, ToQ16(-2.0));
    }

private:
    enum class Stage { Accelerate, Brake };
    struct Sample {
        double position;
        double speed;
        double iq;  // mean of the slow period's current samples
        bool accelerating;
    };
    struct Fit {
        double acceleration = 0.0;  // counts per slow sample squared
        double current = 0.0;       // mean |i_q| over the fitted samples, counts
    };
    static constexpr double kStandstill = 2.0;
    // A slow sample whose mean current is this close to In1 is driven at the test's force.
    static constexpr double kSettledCurrent = 0.9;
    static constexpr double kSettle_s = 0.02;
    static constexpr double kNoMotion_s = 0.5;
    static constexpr double kLongest_s = 10.0;

    void Finish(Firmware& fw, double deltaTime, bool negative) {
        Set(m_time, ToQ16(deltaTime));
        Set(m_speed, 0);
        if (negative) Set(m_flag, 0);
        fw.End();
    }
    // Least-squares acceleration of the samples of one phase whose speed lies between v1 and v2,
    // and the mean current that drove it.
    Fit FitPhase(bool accelerating, double v1, double v2) const {
        double s[5] = {}, y[3] = {};
        double current = 0.0;
        std::size_t first = 0;
        bool found = false;
        for (std::size_t k = 0; k < m_samples.size(); ++k) {
            const Sample& m = m_samples[k];
            if (m.accelerating != accelerating || m.speed < v1 || m.speed > v2) continue;
            // The force reverses at the start of braking: its transient is no constant force.
            if (std::abs(m.iq) < kSettledCurrent * std::abs(static_cast<double>(m_in1))) continue;
            if (!found) {
                first = k;
                found = true;
            }
            const double t = static_cast<double>(k - first);
            double tp = 1.0;
            for (int p = 0; p < 5; ++p, tp *= t) s[p] += tp;
            y[0] += m.position;
            y[1] += m.position * t;
            y[2] += m.position * t * t;
            current += std::abs(m.iq);
        }
        // Normal equations of position = c0 + c1·t + c2·t²; the acceleration is 2·c2.
        const double m00 = s[0], m01 = s[1], m02 = s[2], m11 = s[2], m12 = s[3], m22 = s[4];
        const double det = m00 * (m11 * m22 - m12 * m12) - m01 * (m01 * m22 - m12 * m02) + m02 * (m01 * m12 - m11 * m02);
        if (s[0] < 3.0 || det == 0.0) return {};
        const double c2 = (m00 * (m11 * y[2] - m12 * y[1]) - m01 * (m01 * y[2] - m12 * y[0]) +
                           m02 * (m01 * y[1] - m11 * y[0])) / det;
        return {2.0 * c2, current / s[0]};
    }
    void Evaluate(Firmware& fw) {
        const double v1 = 0.1 * m_peak, v2 = 0.9 * m_peak;
        const Fit accelerating = FitPhase(true, v1, v2);
        Fit braking = FitPhase(false, v1, v2);
        braking.acceleration = -braking.acceleration;
        if (!(accelerating.acceleration > 0.0 && braking.acceleration > 0.0) || v2 <= v1 || m_in1 == 0)
            return Finish(fw, -2.0, false);
        // m·a_acc = Kf·I_acc − F and m·a_dec = Kf·I_dec + F for a friction or load F that keeps its
        // sign: m = Kf·(I_acc + I_dec)/(a_acc + a_dec). The host takes the force as Kf·In1, so the
        // time reported is that of the speed change at In1; the current loop falling short of In1
        // while the back-EMF ramps then costs nothing.
        const double deltaSpeed = v2 - v1;
        const double currentRatio = (accelerating.current + braking.current) / (2.0 * std::abs(static_cast<double>(m_in1)));
        Set(m_time, ToQ16(2.0 * deltaSpeed / (accelerating.acceleration + braking.acceleration) * currentRatio));
        Set(m_speed, ToQ16(deltaSpeed));
        fw.End();
    }

    std::int32_t m_in1 = 0;
    double m_limit = 0.0;
    double m_protection = 0.0;
    double m_travel = 0.0;
    double m_peak = 0.0;
    std::int64_t m_brake_from = 0;
    ProgramVar* m_flag = nullptr;
    ProgramVar* m_time = nullptr;
    ProgramVar* m_speed = nullptr;
    Stage m_stage = Stage::Accelerate;
    HallCommutation m_hall;
    CurrentLoop m_loop;
    SlowMean m_iq;
    SlowMean m_angleSteps;
    std::vector<Sample> m_samples;
};

// --- P10, P11, P12: the speed and position loops on a reference profile ---

enum class TuningKind { Speed, PositionWithSpeed, PositionDirect };

class TuningTest final : public Program {
public:
    explicit TuningTest(TuningKind kind) : m_kind(kind) {}

    void Begin(Firmware& fw) override {
        m_flag = fw.Pvar("test_flag");
        m_protection = Get(fw.Pvar("Imax_Prot_Test"));
        m_current_limit = Get(fw.Pvar("IlimPS_Test"));
        m_speed_limit = Get(fw.Pvar("LimitSpeed_Test"));
        m_multi = Get(fw.Pvar("MultiC")) != 0.0;  // read once, at start
        std::int64_t planned = 0;
        for (int i = 0; i < kSegments; ++i) {
            const std::string n = std::to_string(i);
            m_length[i] = static_cast<std::int64_t>(Get(fw.Pvar("a" + n)));
            m_increment[i] = static_cast<std::int64_t>(Get(fw.Pvar("b" + n)));
            planned += m_length[i];
        }
        m_planned = std::max<std::int64_t>(planned, kMinimumSamples);
        const Registers& r = fw.Reg();
        m_speed_reference_filter.Configure(r, 0, r.bq_counts[0]);
        m_current_reference_filter.Configure(r, r.bq_counts[0], r.bq_counts[1]);
        m_speed_feedback_filter.Configure(r, r.bq_counts[0] + r.bq_counts[1], r.bq_counts[2]);
        m_hall.Begin(fw);
        fw.AxisOn();
        Set(fw.Pvar("STARTED"), 1);
        fw.TriggerLogger();
    }
    void Fast(Firmware& fw) override {
        if (!m_hall.Fast(fw)) {
            fw.Trip(regmap::mer::kHallMissing);
            return;
        }
        const double id = m_hall.Id(fw), iq = m_hall.Iq(fw);
        if (m_protection > 0.0 && iq * iq + id * id > m_protection * m_protection) {
            Set(m_flag, 0);
            fw.End();
            return;
        }
        const CurrentLoop::Output u = m_loop.Step(fw.Reg(), ToCount(id), ToCount(iq), 0, m_iq_reference);
        m_hall.Apply(fw, u.ud, u.uq);
        m_iq = iq;
    }
    void Slow(Firmware& fw) override {
        const Registers& r = fw.Reg();
        const std::int64_t speed = m_hall.Slow();
        const std::int64_t position = m_hall.Position();
        const std::int64_t reference = NextReference();
        std::int64_t speedReference = 0;
        std::int64_t feedforward = 0;
        if (m_kind == TuningKind::Speed) {
            speedReference = reference;
            feedforward = AccelerationFeedforward(r, speedReference - m_previous_reference);
        } else {
            const std::int64_t target = reference;
            const std::int64_t error = target - position;
            fw.V(Var::Target_Position) = static_cast<double>(target);
            fw.V(Var::Position_Error) = static_cast<double>(error);
            if (ControlError(r, error)) {
                fw.Trip(regmap::mer::kControlError);
                return;
            }
            const std::int64_t change = target - m_previous_reference;
            m_position_pi.kp = {r.kpp, r.sftkpp};
            m_position_pi.ki = {r.kip, r.sftkip};
            m_derivative.coefficient = r.kdfp;
            const std::int64_t derivative = Q15Gain{r.kdp, r.sftkdp}.Apply(m_derivative.Step(error - m_previous_error));
            m_previous_error = error;
            const std::int64_t integralLimit = regmap::SaturationLimit(r.imaxp);
            if (m_kind == TuningKind::PositionWithSpeed) {
                const auto limit = static_cast<std::int64_t>(m_speed_limit);
                const std::int64_t pid = m_position_pi.Step(error, integralLimit, limit) + derivative;
                speedReference = Clamp(pid + Q15Gain{r.kffs, r.sftsffw}.Apply(change), limit);
            } else {
                const auto limit = static_cast<std::int64_t>(m_current_limit);
                const std::int64_t pid = m_position_pi.Step(error, integralLimit, limit) + derivative;
                const std::int64_t secondDifference = change - m_previous_change;
                SetCurrentReference(fw, Clamp(pid + AccelerationFeedforward(r, secondDifference) + r.ffl, limit));
            }
            m_previous_change = change;
        }
        m_previous_reference = reference;
        fw.V(Var::Load_Position) = static_cast<double>(position);
        fw.V(Var::Load_Speed) = static_cast<double>(speed);
        fw.V(Var::Motor_Current) = ToCount(m_iq);
        if (m_kind != TuningKind::PositionDirect) {
            const std::int64_t filtered = m_speed_reference_filter.Step(speedReference);
            fw.V(Var::Speed_Reference) = static_cast<double>(filtered);
            const std::int64_t feedback = m_speed_feedback_filter.Step(speed);
            const std::int64_t error = filtered - feedback;
            if (SpeedError(r, error)) {
                fw.Trip(regmap::mer::kControlError);
                return;
            }
            m_speed_pi.kp = {r.kps, r.sftkps};
            m_speed_pi.ki = {r.kis, r.sftkis};
            const std::int64_t limit = m_kind == TuningKind::Speed ? static_cast<std::int64_t>(m_current_limit)
                                                                   : regmap::SaturationLimit(r.sats);
            const std::int64_t pi = m_speed_pi.Step(error, regmap::SaturationLimit(r.imaxs), limit);
            SetCurrentReference(fw, Clamp(pi + feedforward + r.ffl, limit));
        }
        ++m_elapsed;
        if (!m_multi && m_profile_done && m_elapsed >= m_planned && (fw.LoggerFull() || !fw.LoggerTriggered()))
            fw.End();
    }
    void Abort(Firmware& fw) override { fw.EmptyLogger(); }
    double Deadline_s(const Firmware& fw) const override {
        if (m_multi) return kNoDeadline_s;
        return std::max(kMinimumWatchdog_s, static_cast<double>(m_planned) * fw.Ts_s() + kWatchdogMargin_s);
    }

private:
    static constexpr int kSegments = 6;
    static constexpr std::int64_t kMinimumSamples = 2000;

    // The 16.16 accumulator's integer part, toward zero; segment i adds b_i for a_i samples. An
    // arithmetic shift would floor instead: a bidirectional profile whose first ramp ends a
    // fraction above +A would then hold −A−1 against +A, and the mover would drift every cycle.
    std::int64_t NextReference() {
        while (m_segment < kSegments && m_done_in_segment >= m_length[m_segment]) {
            ++m_segment;
            m_done_in_segment = 0;
            if (m_segment == kSegments && m_multi) m_segment = 0;
            if (m_segment == kSegments) m_profile_done = true;
            if (m_segment == 0 && AllEmpty()) break;
        }
        if (m_segment < kSegments && m_done_in_segment < m_length[m_segment]) {
            m_accumulator += m_increment[m_segment];
            ++m_done_in_segment;
        }
        return m_accumulator >= 0 ? m_accumulator >> 16 : -(-m_accumulator >> 16);
    }
    bool AllEmpty() const {
        for (std::int64_t a : m_length)
            if (a > 0) return false;
        return true;
    }
    std::int64_t AccelerationFeedforward(const Registers& r, std::int64_t change) const {
        return Q15Gain{r.kffa, r.sftkff + r.sftaffw}.Apply(change);
    }
    void SetCurrentReference(Firmware& fw, std::int64_t reference) {
        m_iq_reference = static_cast<std::int32_t>(Clamp(m_current_reference_filter.Step(reference), regmap::kMaxRegister15));
        fw.V(Var::Current_Reference) = m_iq_reference;
    }
    bool ControlError(const Registers& r, std::int64_t error) {
        if (r.terrmax == regmap::kCheckOff) return false;
        m_position_error_samples = std::abs(error) > r.errmax ? m_position_error_samples + 1 : 0;
        return m_position_error_samples > r.terrmax;
    }
    bool SpeedError(const Registers& r, std::int64_t error) {
        if (r.tserrmax == regmap::kCheckOff) return false;
        m_speed_error_samples = std::abs(error) > r.serrmax ? m_speed_error_samples + 1 : 0;
        return m_speed_error_samples > r.tserrmax;
    }

    TuningKind m_kind;
    ProgramVar* m_flag = nullptr;
    double m_protection = 0.0;
    double m_current_limit = 0.0;
    double m_speed_limit = 0.0;
    bool m_multi = false;
    std::int64_t m_length[kSegments] = {};
    std::int64_t m_increment[kSegments] = {};
    std::int64_t m_planned = kMinimumSamples;
    int m_segment = 0;
    std::int64_t m_done_in_segment = 0;
    std::int64_t m_accumulator = 0;
    bool m_profile_done = false;
    std::int64_t m_elapsed = 0;
    std::int64_t m_previous_reference = 0;
    std::int64_t m_previous_change = 0;
    std::int64_t m_previous_error = 0;
    int m_position_error_samples = 0;
    int m_speed_error_samples = 0;
    PiController m_speed_pi;
    PiController m_position_pi;
    FirstOrderFilter m_derivative;
    BiquadChain m_speed_reference_filter, m_current_reference_filter, m_speed_feedback_filter;
    HallCommutation m_hall;
    CurrentLoop m_loop;
    std::int32_t m_iq_reference = 0;
    double m_iq = 0.0;
};

}  // namespace

std::unique_ptr<Program> MakeProgram(std::string_view name) {
    if (name == "VDC_Detection_Test") return std::make_unique<VdcDetection>();
    if (name == "Analogue_Reference_Test") return std::make_unique<AnalogueReference>();
    if (name == "Initial_Positioning_Test") return std::make_unique<InitialPositioning>();
    if (name == "Motor_Phase_Connection_Test") return std::make_unique<PhaseConnection>();
    if (name == "Ident_R_or_Rs") return std::make_unique<ResistanceTest>();
    if (name == "Ident_L_or_Tau_el") return std::make_unique<InductanceTest>();
    if (name == "Detect_Hall_Gain_Offset_Test") return std::make_unique<HallDetection>();
    if (name == "Current_Controller_Tuning_Test") return std::make_unique<CurrentTuning>();
    if (name == "Total_Mass_Identification_Test") return std::make_unique<MassIdentification>();
    if (name == "Speed_Controller_Tuning_Test") return std::make_unique<TuningTest>(TuningKind::Speed);
    if (name == "Position_Controller_Tuning_Test_with_SpdCtrl")
        return std::make_unique<TuningTest>(TuningKind::PositionWithSpeed);
    if (name == "Position_Controller_Tuning_Test_without_SpdCtrl")
        return std::make_unique<TuningTest>(TuningKind::PositionDirect);
    return nullptr;
}

}  // namespace drivesim::detail
