// Drives the simulated drive as the commissioning tests do: the default setup's registers, the
// program images' variables, runs that end by themselves.
#pragma once

#include "MC_Setup.h"
#include "MC_SetupFile.h"
#include "drivesim/Drive.h"
#include "drivesim/SimConfig.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace drivesim_test {

using Registers = std::vector<std::pair<std::string, double>>;

// The default setup's registers, as the host downloads them before every run.
inline const Registers& DefaultRegisters() {
    static const Registers registers = [] {
        Registers out;
        SetupLoadResult loaded = LoadDefaultSetup();
        if (!loaded) throw std::runtime_error(loaded.error);
        for (const auto& p : loaded.setup->GetParameters())
            if (p->GetKind() == ParameterKind::Register) out.emplace_back(p->GetName(), p->GetValueInBaseUnit());
        return out;
    }();
    return registers;
}

inline drivesim::VarType TypeOf(const std::string& name) {
    static const std::map<std::string, drivesim::VarType> kTypes{
        {"int16", drivesim::VarType::Int16},   {"uint16", drivesim::VarType::UInt16},
        {"int32", drivesim::VarType::Int32},   {"uint32", drivesim::VarType::UInt32},
        {"q16_16", drivesim::VarType::Q16_16}, {"float", drivesim::VarType::Float}};
    return kTypes.at(name);
}

// A program image's variables with their initial values, `presets` (raw) replacing some.
inline std::vector<drivesim::ProgramVariable> ImageVariables(const std::string& program,
                                                            const std::map<std::string, double>& presets = {}) {
    std::ifstream in(std::string(PELMORA_PROGRAM_DIR) + "/" + program + ".json");
    if (!in) throw std::runtime_error("no image for " + program);
    const nlohmann::json image = nlohmann::json::parse(in);
    std::vector<drivesim::ProgramVariable> variables;
    for (const auto& v : image.at("variables")) {
        drivesim::ProgramVariable variable{v.at("name").get<std::string>(), TypeOf(v.at("type").get<std::string>()),
                                           v.at("init").get<double>()};
        if (auto it = presets.find(variable.name); it != presets.end()) variable.raw = it->second;
        variables.push_back(variable);
    }
    for (const auto& [name, value] : presets) {
        bool declared = false;
        for (const auto& v : variables) declared = declared || v.name == name;
        if (!declared) throw std::runtime_error(program + " declares no " + name);
    }
    return variables;
}

inline drivesim::SimConfig MotorFile(const std::string& file) {
    auto loaded = drivesim::LoadSimConfig(std::string(PELMORA_MOTOR_DIR) + "/" + file);
    if (!loaded.ok()) throw std::runtime_error(loaded.error);
    return *loaded.value;
}

struct RunOptions {
    std::map<std::string, double> presets;
    std::optional<drivesim::LoggerSettings> logger;
    std::optional<drivesim::ScopeSettings> scope;
    Registers extra_registers;  // written after the setup's
};

inline RunOptions WithPresets(std::map<std::string, double> presets) {
    RunOptions options;
    options.presets = std::move(presets);
    return options;
}

// What the tests' constants are on the default drive.
inline constexpr double kCountsPerAmp = 65472.0 / (2.0 * 8.0);  // K_I
inline constexpr double kBusCountsPerVolt = 65472.0 / 100.0;     // K_Vdc
inline constexpr double kPollPeriod_s = 0.020;
// No run of the simulator lasts this long; a run that does has hung.
inline constexpr double kHangLimit_s = 400.0;

// ExecuteCode and the wait for the run's end, polling as the tests do. Returns false when the
// program could not start or did not end.
inline bool RunProgram(drivesim::Drive& drive, const std::string& program, const RunOptions& options = {},
                       std::string* error = nullptr) {
    drive.Stop();
    Registers registers = DefaultRegisters();
    registers.insert(registers.end(), options.extra_registers.begin(), options.extra_registers.end());
    drivesim::Status status = drive.WriteRegisters(registers);
    if (status.ok()) status = drive.Download(program, ImageVariables(program, options.presets), options.logger, options.scope);
    if (status.ok()) status = drive.Start();
    if (!status.ok()) {
        if (error) *error = status.error;
        return false;
    }
    const double start_s = drive.Time_s();
    while (drive.Running()) {
        if (drive.Time_s() - start_s > kHangLimit_s) {
            if (error) *error = program + " did not end";
            return false;
        }
        drive.AdvanceTo(drive.Time_s() + kPollPeriod_s);
    }
    return true;
}

inline double Variable(drivesim::Drive& drive, const std::string& name) {
    auto r = drive.ReadVariable(name);
    if (!r.ok()) throw std::runtime_error(r.error);
    return *r.value;
}
inline double ProgramVariable(drivesim::Drive& drive, const std::string& name) {
    auto r = drive.ReadProgramVariable(name);
    if (!r.ok()) throw std::runtime_error(r.error);
    return *r.value;
}

inline double MeanOfColumn(const std::vector<drivesim::LogRecord>& log, std::size_t column) {
    double sum = 0.0;
    for (const auto& r : log) sum += r.values.at(column);
    return log.empty() ? 0.0 : sum / static_cast<double>(log.size());
}

}  // namespace drivesim_test
