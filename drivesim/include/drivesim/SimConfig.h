// The simulator's truth (the real motor, sensors and supply) and the faults to inject. Never part
// of a setup, so that every identification can be judged against it.
#pragma once

#include "drivesim/Drive.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace drivesim {

enum class Connection { Star, Delta };

// A motor terminal or Hall channel: A, B or C.
enum class Phase : std::uint8_t { A = 0, B = 1, C = 2 };
// Two terminals or channels exchanged.
enum class PhasePair : std::uint8_t { AB, BC, CA };

struct MotorTruth {
    double R_ohm = 3.0;  // winding: phase (star) or between two terminals (delta)
    double L_H = 1.5e-3;
    Connection connection = Connection::Star;
    double Kf_N_per_A = 20.0;  // force per ampere of q current amplitude
    double pole_pitch_m = 0.032;  // one electrical period
    double moving_mass_kg = 0.5;
    double load_mass_kg = 1.0;
    // Motor travel per load travel; negative when the load moves the other way.
    double transmission = 1.0;
    double viscous_Ns_per_m = 10.0;
    double coulomb_N = 3.0;
    double load_force_N = 0.0;  // external, constant, acting on the motor side
    double stroke_min_m = -0.25;
    double stroke_max_m = 0.25;
    double start_position_m = 0.0;
    // Electrical angle of the magnet's north axis at position 0.
    double magnet_angle_deg = 0.0;
};

struct HallTruth {
    std::array<double, 3> offset_V{2.5, 2.5, 2.5};
    std::array<double, 3> amplitude_V{1.5, 1.5, 1.5};
    std::array<double, 3> phase_error_deg{0.0, 0.0, 0.0};
    double angle_deg = 0.0;  // θ_H: where Hall A peaks, relative to the magnet's north axis
    double noise_V = 0.0;    // rms
};

struct SupplyTruth {
    double ripple_V = 0.0;  // amplitude
    double ripple_Hz = 100.0;
};

// The drive's own hardware: constants that no register carries.
struct DriveHardware {
    double dsp_freq_Hz = 60e6;
    double imax_ps_A = 8.0;               // current sensing range ±ImaxPS
    double vdc_max_measurable_V = 100.0;  // bus sensing range
    double dead_time_tick_percent = 50.0; // DBT ticks · this / 100 clock periods
    double current_noise_lsb = 1.0;       // rms
    std::array<double, 3> current_offset_A{0.02, -0.015, 0.01};
    double bus_noise_lsb = 1.0;           // rms
    // The analogue reference input: its voltage and the input's span.
    double analogue_input_V = 0.0;
    double analogue_low_V = -10.0;
    double analogue_high_V = 10.0;
    // Share of the stroke the mass test may use to accelerate.
    double test_travel_fraction = 0.4;
    std::uint64_t noise_seed = 1;
    // The power stage's heatsink: conduction losses per square ampere of each terminal current,
    // one thermal resistance and time constant to the ambient, and the temperature at which its
    // sensor reports the drive too hot (MER bit 10, while PCR enables the check).
    double ambient_C = 25.0;
    double stage_loss_W_per_A2 = 0.05;
    double heatsink_K_per_W = 1.5;
    double heatsink_tau_s = 300.0;
    double heatsink_trip_C = 85.0;
};

struct Faults {
    std::optional<Phase> open_phase;
    std::optional<PhasePair> swapped_phases;
    std::array<double, 3> resistance_factor{1.0, 1.0, 1.0};  // unbalanced windings
    std::optional<Phase> missing_hall;  // stuck at its quiescent voltage
    std::optional<PhasePair> swapped_halls;
    bool enable_inactive = false;
    bool positive_limit_active = false;
    bool negative_limit_active = false;
    bool motor_over_temperature = false;  // the motor's thermal switch open
    bool drive_over_temperature = false;  // the drive's heatsink sensor reads too hot
    std::optional<double> short_circuit_at_s;
    std::string failing_read;   // a variable or register name whose read fails
    std::string failing_write;  // a variable or register name whose write fails
    std::string failing_start;  // a program that fails to start
    std::optional<double> link_drop_at_s;
    std::uint16_t forced_mer = 0;  // bits set at every start
};

struct SimConfig {
    MotorTruth motor;
    HallTruth halls;
    SupplyTruth supply;
    DriveHardware drive;
    Faults faults;
    double Vdc_V = 48.0;  // the bus voltage; `supply` adds its ripple
};

// The embedded default: the default setup's drive, a motor a few per cent off the setup's values.
SimConfig DefaultSimConfig();

// Reads a simulator file; refuses a malformed one with the file, place and fault.
Result<SimConfig> LoadSimConfig(const std::string& path);
// The same from text; `origin` names it in messages.
Result<SimConfig> ParseSimConfig(const std::string& text, const std::string& origin);

}  // namespace drivesim
