#include "drivesim/SimConfig.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <set>
#include <sstream>
#include <string_view>

namespace drivesim {

SimConfig DefaultSimConfig() {
    // The default setup's drive with a motor a few per cent off its nameplate, so that every
    // identification has something to find.
    SimConfig config;
    config.motor.R_ohm = 3.09;
    config.motor.L_H = 1.56e-3;
    config.motor.Kf_N_per_A = 20.4;
    config.motor.moving_mass_kg = 0.52;
    config.motor.load_mass_kg = 1.01;
    config.halls.offset_V = {2.46, 2.55, 2.52};
    config.halls.amplitude_V = {1.50, 1.42, 1.58};
    config.halls.angle_deg = 10.0;
    config.halls.noise_V = 0.002;
    config.Vdc_V = 47.63;
    config.supply.ripple_V = 0.05;
    return config;
}

namespace {

using nlohmann::json;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct ConfigError {
    std::string pointer;
    std::string fault;
};

// The line and column of a byte offset, for parse errors.
std::pair<std::size_t, std::size_t> LineColumn(const std::string& text, std::size_t offset) {
    std::size_t line = 1;
    std::size_t column = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return {line, column};
}

// Reads one JSON object's keys into fields, refusing unknown keys, wrong types and values out of
// range; each fault names its place as a JSON pointer.
class Section {
public:
    Section(const json& root, std::string pointer) : m_json(root), m_pointer(std::move(pointer)) {
        if (!m_json.is_object()) throw ConfigError{m_pointer, "must be an object"};
    }

    void Number(std::string_view key, double& out, double min, double max) {
        const json* value = Take(key);
        if (!value) return;
        if (!value->is_number()) throw ConfigError{Where(key), "must be a number"};
        const double v = value->get<double>();
        if (!std::isfinite(v) || v < min || v > max) {
            std::ostringstream text;
            text << "must lie between " << min << " and " << max << ", not " << v;
            throw ConfigError{Where(key), text.str()};
        }
        out = v;
    }
    void Positive(std::string_view key, double& out, double max = kInfinity) {
        const json* value = Take(key);
        if (!value) return;
        if (!value->is_number()) throw ConfigError{Where(key), "must be a number"};
        const double v = value->get<double>();
        if (!std::isfinite(v) || v <= 0.0 || v > max) {
            std::ostringstream text;
            text << "must be positive and at most " << max << ", not " << v;
            throw ConfigError{Where(key), text.str()};
        }
        out = v;
    }
    void Triple(std::string_view key, std::array<double, 3>& out, double min, double max) {
        const json* value = Take(key);
        if (!value) return;
        if (!value->is_array() || value->size() != 3) throw ConfigError{Where(key), "must be an array of three numbers"};
        for (std::size_t i = 0; i < 3; ++i) {
            const json& item = (*value)[i];
            const std::string place = Where(key) + "/" + std::to_string(i);
            if (!item.is_number()) throw ConfigError{place, "must be a number"};
            const double v = item.get<double>();
            if (!std::isfinite(v) || v < min || v > max) throw ConfigError{place, "is out of range"};
            out[i] = v;
        }
    }
    void Flag(std::string_view key, bool& out) {
        const json* value = Take(key);
        if (!value) return;
        if (!value->is_boolean()) throw ConfigError{Where(key), "must be true or false"};
        out = value->get<bool>();
    }
    void Text(std::string_view key, std::string& out) {
        const json* value = Take(key);
        if (!value) return;
        if (!value->is_string()) throw ConfigError{Where(key), "must be a string"};
        out = value->get<std::string>();
    }
    void OptionalTime(std::string_view key, std::optional<double>& out) {
        const json* value = Take(key);
        if (!value || value->is_null()) return;
        double t = 0.0;
        if (!value->is_number() || !std::isfinite(t = value->get<double>()) || t < 0.0)
            throw ConfigError{Where(key), "must be a time in seconds, at least 0"};
        out = t;
    }
    void OnePhase(std::string_view key, std::optional<Phase>& out) {
        const json* value = Take(key);
        if (!value || value->is_null()) return;
        const std::string s = value->is_string() ? value->get<std::string>() : std::string{};
        if (s == "A") out = Phase::A;
        else if (s == "B") out = Phase::B;
        else if (s == "C") out = Phase::C;
        else throw ConfigError{Where(key), "must be \"A\", \"B\" or \"C\""};
    }
    void PhasePairOf(std::string_view key, std::optional<PhasePair>& out) {
        const json* value = Take(key);
        if (!value || value->is_null()) return;
        const std::string s = value->is_string() ? value->get<std::string>() : std::string{};
        if (s == "AB" || s == "BA") out = PhasePair::AB;
        else if (s == "BC" || s == "CB") out = PhasePair::BC;
        else if (s == "CA" || s == "AC") out = PhasePair::CA;
        else throw ConfigError{Where(key), "must be \"AB\", \"BC\" or \"CA\""};
    }
    // A sub-object, read by `read` when present.
    void Object(std::string_view key, const std::function<void(Section&)>& read) {
        const json* value = Take(key);
        if (!value) return;
        Section inner(*value, Where(key));
        read(inner);
        inner.Finish();
    }
    // Refuses the keys nobody asked for: a misspelt key must not pass silently as a default.
    void Finish() const {
        for (const auto& item : m_json.items()) {
            if (!m_taken.count(item.key())) throw ConfigError{Where(item.key()), "unknown key"};
        }
    }

private:
    const json* Take(std::string_view key) {
        const std::string k(key);
        m_taken.insert(k);
        auto it = m_json.find(k);
        return it == m_json.end() ? nullptr : &*it;
    }
    std::string Where(std::string_view key) const { return m_pointer + "/" + std::string(key); }

    const json& m_json;
    std::string m_pointer;
    std::set<std::string> m_taken;
};

void ReadConfig(Section& root, SimConfig& c) {
    std::string format;
    root.Text("format", format);
    if (!format.empty() && format != "pelmora-sim") throw ConfigError{"/format", "must be \"pelmora-sim\""};
    root.Object("motor", [&c](Section& s) {
        MotorTruth& m = c.motor;
        s.Positive("R_ohm", m.R_ohm, 1e3);
        s.Number("L_H", m.L_H, 1e-7, 10.0);
        std::string connection;
        s.Text("connection", connection);
        if (connection == "delta") m.connection = Connection::Delta;
        else if (connection == "star") m.connection = Connection::Star;
        else if (!connection.empty()) throw ConfigError{"/motor/connection", "must be \"star\" or \"delta\""};
        s.Positive("Kf_N_per_A", m.Kf_N_per_A, 1e4);
        s.Positive("pole_pitch_m", m.pole_pitch_m, 10.0);
        s.Positive("moving_mass_kg", m.moving_mass_kg, 1e4);
        s.Number("load_mass_kg", m.load_mass_kg, 0.0, 1e5);
        s.Number("transmission", m.transmission, -1e3, 1e3);
        if (m.transmission == 0.0) throw ConfigError{"/motor/transmission", "must not be 0"};
        s.Number("viscous_Ns_per_m", m.viscous_Ns_per_m, 0.0, 1e5);
        s.Number("coulomb_N", m.coulomb_N, 0.0, 1e5);
        s.Number("load_force_N", m.load_force_N, -1e5, 1e5);
        s.Number("stroke_min_m", m.stroke_min_m, -100.0, 100.0);
        s.Number("stroke_max_m", m.stroke_max_m, -100.0, 100.0);
        s.Number("start_position_m", m.start_position_m, -100.0, 100.0);
        s.Number("magnet_angle_deg", m.magnet_angle_deg, -360.0, 360.0);
    });
    root.Object("halls", [&c](Section& s) {
        HallTruth& h = c.halls;
        s.Triple("offset_V", h.offset_V, 0.0, 5.0);
        s.Triple("amplitude_V", h.amplitude_V, 0.0, 5.0);
        s.Triple("phase_error_deg", h.phase_error_deg, -60.0, 60.0);
        s.Number("angle_deg", h.angle_deg, -360.0, 360.0);
        s.Number("noise_V", h.noise_V, 0.0, 1.0);
    });
    root.Object("supply", [&c](Section& s) {
        s.Positive("Vdc_V", c.Vdc_V, 2000.0);
        s.Number("ripple_V", c.supply.ripple_V, 0.0, 100.0);
        s.Positive("ripple_Hz", c.supply.ripple_Hz, 1e5);
    });
    root.Object("drive", [&c](Section& s) {
        DriveHardware& d = c.drive;
        s.Number("dsp_freq_Hz", d.dsp_freq_Hz, 1e6, 1e9);
        s.Positive("imax_ps_A", d.imax_ps_A, 1e4);
        s.Positive("vdc_max_measurable_V", d.vdc_max_measurable_V, 1e4);
        s.Number("dead_time_tick_percent", d.dead_time_tick_percent, 0.0, 1000.0);
        s.Number("current_noise_lsb", d.current_noise_lsb, 0.0, 100.0);
        s.Triple("current_offset_A", d.current_offset_A, -100.0, 100.0);
        s.Number("bus_noise_lsb", d.bus_noise_lsb, 0.0, 100.0);
        s.Number("analogue_input_V", d.analogue_input_V, -1e3, 1e3);
        s.Number("analogue_low_V", d.analogue_low_V, -1e3, 1e3);
        s.Number("analogue_high_V", d.analogue_high_V, -1e3, 1e3);
        if (d.analogue_high_V <= d.analogue_low_V)
            throw ConfigError{"/drive/analogue_high_V", "must lie above analogue_low_V"};
        s.Number("test_travel_fraction", d.test_travel_fraction, 0.01, 1.0);
        double seed = static_cast<double>(d.noise_seed);
        s.Number("noise_seed", seed, 0.0, 1e15);
        d.noise_seed = static_cast<std::uint64_t>(seed);
        s.Number("ambient_C", d.ambient_C, -50.0, 150.0);
        s.Number("stage_loss_W_per_A2", d.stage_loss_W_per_A2, 0.0, 1e3);
        s.Number("heatsink_K_per_W", d.heatsink_K_per_W, 0.0, 1e3);
        s.Positive("heatsink_tau_s", d.heatsink_tau_s, 1e6);
        s.Number("heatsink_trip_C", d.heatsink_trip_C, -50.0, 300.0);
        if (d.heatsink_trip_C <= d.ambient_C)
            throw ConfigError{"/drive/heatsink_trip_C", "must lie above ambient_C"};
    });
    root.Object("faults", [&c](Section& s) {
        Faults& f = c.faults;
        s.OnePhase("open_phase", f.open_phase);
        s.PhasePairOf("swapped_phases", f.swapped_phases);
        s.Triple("resistance_factor", f.resistance_factor, 0.01, 100.0);
        s.OnePhase("missing_hall", f.missing_hall);
        s.PhasePairOf("swapped_halls", f.swapped_halls);
        s.Flag("enable_inactive", f.enable_inactive);
        s.Flag("motor_over_temperature", f.motor_over_temperature);
        s.Flag("drive_over_temperature", f.drive_over_temperature);
        s.Flag("positive_limit_active", f.positive_limit_active);
        s.Flag("negative_limit_active", f.negative_limit_active);
        s.OptionalTime("short_circuit_at_s", f.short_circuit_at_s);
        s.Text("failing_read", f.failing_read);
        s.Text("failing_write", f.failing_write);
        s.Text("failing_start", f.failing_start);
        s.OptionalTime("link_drop_at_s", f.link_drop_at_s);
        double mer = 0.0;
        s.Number("forced_mer", mer, 0.0, 65535.0);
        f.forced_mer = static_cast<std::uint16_t>(mer);
    });
    root.Finish();
    const MotorTruth& m = c.motor;
    if (m.stroke_max_m <= m.stroke_min_m) throw ConfigError{"/motor/stroke_max_m", "must lie above stroke_min_m"};
    if (m.start_position_m < m.stroke_min_m || m.start_position_m > m.stroke_max_m)
        throw ConfigError{"/motor/start_position_m", "must lie within the stroke"};
}

}  // namespace

Result<SimConfig> ParseSimConfig(const std::string& text, const std::string& origin) {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        const auto [line, column] = LineColumn(text, e.byte == 0 ? 0 : e.byte - 1);
        std::string what = e.what();
        // nlohmann prefixes its own position; ours is the line and column.
        if (auto colon = what.find(": "); colon != std::string::npos) what = what.substr(colon + 2);
        return Result<SimConfig>::Fail(origin + ":" + std::to_string(line) + ":" + std::to_string(column) +
                                       ": malformed JSON: " + what);
    } catch (const json::exception& e) {
        // A number beyond double's range has no byte position, only its text.
        std::string what = e.what();
        if (auto bracket = what.find("] "); bracket != std::string::npos) what = what.substr(bracket + 2);
        return Result<SimConfig>::Fail(origin + ": malformed JSON: " + what);
    }
    SimConfig config = DefaultSimConfig();
    try {
        Section section(root, "");
        ReadConfig(section, config);
    } catch (const ConfigError& e) {
        return Result<SimConfig>::Fail(origin + ": at " + (e.pointer.empty() ? "/" : e.pointer) + ": " + e.fault);
    }
    return Result<SimConfig>::Ok(std::move(config));
}

Result<SimConfig> LoadSimConfig(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Result<SimConfig>::Fail(path + ": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return Result<SimConfig>::Fail(path + ": cannot be read");
    return ParseSimConfig(text.str(), path);
}

}  // namespace drivesim
