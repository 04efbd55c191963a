// The simulated drive: the firmware (registers, fixed-point loops, protections, the test
// programs, the data logger and the scope stream) over the physics of a linear brushless motor
// with linear Hall sensors. It knows nothing of the host or the plug-in: it sees registers and
// program variables arriving, exactly as a real drive would over its link.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace drivesim {

// A failure a caller must show: empty message means success.
struct Status {
    std::string error;
    bool ok() const { return error.empty(); }
    static Status Ok() { return {}; }
    static Status Fail(std::string message) { return {std::move(message)}; }
};

template <class T>
struct Result {
    std::optional<T> value;
    std::string error;  // set when value is empty
    bool ok() const { return value.has_value(); }
    static Result Ok(T v) { return {std::move(v), {}}; }
    static Result Fail(std::string message) { return {std::nullopt, std::move(message)}; }
};

// Types of program variables as a program image declares them.
enum class VarType { Int16, UInt16, Int32, UInt32, Q16_16, Float };

// A program variable downloaded with its program. `raw` is the stored value: the integer the
// drive holds (a 16.16 variable holds round(value*65536)), or the float itself.
struct ProgramVariable {
    std::string name;
    VarType type = VarType::Int16;
    double raw = 0.0;
};

// Data logger. sample_kind 1 = one sample per slow period T_S, 2 = per current-loop period T_C;
// divider 1 = every period. Variables are drive variables (unknown names record 0).
struct LoggerSettings {
    int points = 0;
    int sample_kind = 1;
    int divider = 1;
    std::vector<std::string> variables;
};

// One logged record: seconds since the trigger, then the variables' internal values in order.
struct LogRecord {
    double time_s = 0.0;
    std::vector<double> values;
};

// Scope stream: every `every_slow_samples`-th slow sample of the variables goes out in 0xE900
// frames (little-endian bytes as the frame format defines them).
struct ScopeSettings {
    std::vector<std::string> variables;
    int every_slow_samples = 1;
};

struct SimConfig;  // the motor's truth and the injected faults (drivesim/SimConfig.h)

class Drive {
public:
    explicit Drive(const SimConfig& config);
    ~Drive();
    Drive(const Drive&) = delete;
    Drive& operator=(const Drive&) = delete;

    // Runs firmware and physics up to this simulated time (never backwards).
    void AdvanceTo(double time_s);
    double Time_s() const;

    // Registers: the whole setup's block before a run (names the firmware does not use are
    // kept and ignored), or one register live; a live write takes effect at the next sample of
    // the loop using it.
    Status WriteRegisters(const std::vector<std::pair<std::string, double>>& registers);
    Status WriteRegister(const std::string& name, double value);
    Result<double> ReadRegister(const std::string& name) const;

    // Programs. Stop: the running program ends, axis off, latched MER bits whose cause is gone
    // clear. Download: the program by name with its variables' preset values, plus the logger
    // and scope armed for this run. Start: starts what was downloaded.
    void Stop();
    Status Download(const std::string& program, const std::vector<ProgramVariable>& variables,
                    const std::optional<LoggerSettings>& logger,
                    const std::optional<ScopeSettings>& scope);
    Status Start();
    bool Running() const;
    std::string CurrentProgram() const;

    Result<double> ReadProgramVariable(const std::string& name);
    Status WriteProgramVariable(const std::string& name, double raw);

    // Firmware globals (MER, AD6, IQ, ...): raw values.
    Result<double> ReadVariable(const std::string& name);
    Status WriteVariable(const std::string& name, double raw);

    bool AxisOn() const;

    // Data logger: the records of the last armed and triggered log; fails when not armed, never
    // triggered or empty.
    Result<std::vector<LogRecord>> UploadLog();

    // Unsolicited frames queued since the last call, oldest first.
    std::vector<std::vector<std::uint8_t>> TakeFrames();

    // Set when the configuration drops the link at a moment now past.
    bool LinkDropped() const;

    const SimConfig& Config() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace drivesim
