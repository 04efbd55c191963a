#include "MC_CoffFormat.h"

#include "MC_Comm.h"
#include "MC_Loggers.h"
#include "MC_Setup.h"

#include <nlohmann/json.hpp>

#include <dlfcn.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

namespace {

struct TypeInfo {
    drivesim::VarType type;
    const char* name;
    double min;  // of the stored (raw) value
    double max;
};

constexpr TypeInfo kTypes[] = {
    {drivesim::VarType::Int16, "int16", -32768.0, 32767.0},
    {drivesim::VarType::UInt16, "uint16", 0.0, 65535.0},
    {drivesim::VarType::Int32, "int32", -2147483648.0, 2147483647.0},
    {drivesim::VarType::UInt32, "uint32", 0.0, 4294967295.0},
    {drivesim::VarType::Q16_16, "q16_16", -2147483648.0, 2147483647.0},
    {drivesim::VarType::Float, "float", -static_cast<double>(std::numeric_limits<float>::max()),
     static_cast<double>(std::numeric_limits<float>::max())},
};

constexpr double kQ16Scale = 65536.0;

const TypeInfo& Info(drivesim::VarType type) {
    for (const TypeInfo& info : kTypes) {
        if (info.type == type) return info;
    }
    return kTypes[0];
}

std::string FormatNumber(double value) {
    std::ostringstream text;
    text.precision(15);
    text << value;
    return text.str();
}

bool IsPlainName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

// What the runner knows about the drive's programs.
struct RunnerState {
    CMC_CoffFormat* current = nullptr;
    std::unique_ptr<CMC_CoffFormat> byName;  // an image ExecuteCode loaded itself
    std::uint64_t runs = 0;
};

RunnerState& Runner() {
    static RunnerState state;
    return state;
}

int Failed(std::string& error, std::string message) {
    error = std::move(message);
    return 0;
}

int DriveFailed(std::string& error, const std::string& what) {
    error = what + ": " + CMC_Comm::GetLastErrorText();
    CMC_Comm::SetLastErrorText(error);
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Values

const char* VarTypeName(drivesim::VarType type) { return Info(type).name; }

std::optional<drivesim::VarType> ParseVarType(std::string_view text) {
    for (const TypeInfo& info : kTypes) {
        if (text == info.name) return info.type;
    }
    return std::nullopt;
}

std::optional<double> ToRawValue(drivesim::VarType type, double value, std::string& error) {
    const TypeInfo& info = Info(type);
    if (!std::isfinite(value)) {
        error = "the value is not a finite number";
        return std::nullopt;
    }
    double raw = value;
    if (type == drivesim::VarType::Q16_16) raw = std::round(value * kQ16Scale);
    else if (type != drivesim::VarType::Float) raw = std::round(value);
    if (raw < info.min || raw > info.max) {
        error = FormatNumber(value) + " is out of the " + info.name + " range";
        return std::nullopt;
    }
    // A float variable holds what single precision makes of the value.
    if (type == drivesim::VarType::Float) raw = static_cast<double>(static_cast<float>(raw));
    return raw;
}

double FromRawValue(drivesim::VarType type, double raw) {
    return type == drivesim::VarType::Q16_16 ? raw / kQ16Scale : raw;
}

// ---------------------------------------------------------------------------------------------
// Images

CMC_CoffFormat::~CMC_CoffFormat() { CMC_ProgramRunner::Forget(this); }

CMC_CoffFormat::Variable* CMC_CoffFormat::FindVariable(std::string_view name) {
    for (Variable& v : m_variables) {
        if (EqualsNoCase(v.name, name)) return &v;
    }
    return nullptr;
}

int CMC_CoffFormat::ReadCoff(const std::string& path) {
    m_path = path;
    return ReadCoff();
}

int CMC_CoffFormat::ReadCoff() {
    // Reloading makes a new image: whatever the drive holds of the old one is not this one's.
    CMC_ProgramRunner::Forget(this);
    m_loaded = false;
    m_program.clear();
    m_variables.clear();
    m_error.clear();
    auto fail = [&](std::string message) {
        m_error = (m_path.empty() ? std::string("program image") : m_path) + ": " + std::move(message);
        m_program.clear();
        m_variables.clear();
        return 0;
    };
    if (m_path.empty()) return fail("no file name (not a program name the host knows)");
    std::ifstream in(m_path, std::ios::binary);
    if (!in) return fail("cannot be opened");
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(in);
    } catch (const nlohmann::json::parse_error& e) {
        return fail(std::string("not valid JSON: ") + e.what());
    }
    if (!doc.is_object() || !doc.contains("program") || !doc["program"].is_string())
        return fail("\"program\" must be the program's name");
    const std::string program = doc["program"].get<std::string>();
    if (!IsPlainName(program)) return fail("\"program\" is not a plain program name");
    if (!doc.contains("variables") || !doc["variables"].is_array()) return fail("\"variables\" must be a list");
    std::vector<Variable> variables;
    for (std::size_t i = 0; i < doc["variables"].size(); ++i) {
        const nlohmann::json& entry = doc["variables"][i];
        const std::string where = "variables[" + std::to_string(i) + "]";
        if (!entry.is_object()) return fail(where + " is not an object");
        if (!entry.contains("name") || !entry["name"].is_string() || entry["name"].get<std::string>().empty())
            return fail(where + ".name must be a non-empty text");
        Variable v;
        v.name = entry["name"].get<std::string>();
        if (!entry.contains("type") || !entry["type"].is_string()) return fail(where + ".type must be a text");
        const auto type = ParseVarType(entry["type"].get<std::string>());
        if (!type)
            return fail(where + ".type \"" + entry["type"].get<std::string>() +
                        "\" is none of int16, uint16, int32, uint32, q16_16, float");
        v.type = *type;
        double init = 0.0;
        if (entry.contains("init")) {
            if (!entry["init"].is_number()) return fail(where + ".init must be a number");
            init = entry["init"].get<double>();
        }
        std::string error;
        const auto raw = ToRawValue(v.type, init, error);
        if (!raw) return fail(where + ".init: " + error);
        v.initRaw = *raw;
        for (const Variable& earlier : variables) {
            if (EqualsNoCase(earlier.name, v.name)) return fail(where + ": \"" + v.name + "\" is declared twice");
        }
        variables.push_back(std::move(v));
    }
    m_program = program;
    m_variables = std::move(variables);
    m_loaded = true;
    return 1;
}

std::string GetProgramDirectory() {
    if (const char* dir = std::getenv("PELMORA_PROGRAM_DIR"); dir && *dir) return dir;
    // Found from where this library lies, so the build tree and a copied tree both work without
    // a setting and whatever the current folder is.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&GetProgramDirectory), &info) != 0 && info.dli_fname) {
        const std::filesystem::path library = std::filesystem::absolute(info.dli_fname);
        return (library.parent_path().parent_path() / "share" / "pelmora" / "programs").string();
    }
    return "share/pelmora/programs";
}

std::string GetOutPathName(std::string_view program) {
    if (!IsPlainName(program)) return {};
    return (std::filesystem::path(GetProgramDirectory()) / (std::string(program) + ".json")).string();
}

// ---------------------------------------------------------------------------------------------
// Runner

const CMC_CoffFormat* CMC_ProgramRunner::CurrentProgram() { return Runner().current; }

std::uint64_t CMC_ProgramRunner::RunNumber() { return Runner().runs; }

void CMC_ProgramRunner::Forget(const CMC_CoffFormat* program) {
    if (Runner().current == program) Runner().current = nullptr;
}

int CMC_ProgramRunner::StopProgram(std::string& error) {
    drivesim::Request stop;
    stop.op = drivesim::Op::Stop;
    if (!CMC_Comm::Transact(stop).ok()) return DriveFailed(error, "The drive program was not stopped");
    return 1;
}

int CMC_ProgramRunner::ExecuteCode(CMC_Setup& setup, const char* name, CMC_CoffFormat* program,
                                   CMC_Logger* logger, std::string& error) {
    RunnerState& state = Runner();
    const std::string programName = name ? name : "";
    if (!IsPlainName(programName)) return Failed(error, "\"" + programName + "\" is not a drive program name");
    if (!CMC_Comm::IsConnected()) return Failed(error, "Program " + programName + " was not started: no drive is connected");

    // The image: the caller's, loaded now if it was not, or one loaded by name.
    if (!program) {
        if (!state.byName || state.byName->GetProgramName() != programName) {
            if (state.current == state.byName.get()) state.current = nullptr;
            state.byName = std::make_unique<CMC_CoffFormat>();
        }
        program = state.byName.get();
    }
    if (!program->IsLoaded()) {
        if (program->GetFileName().empty()) program->SetFileName(GetOutPathName(programName));
        if (!program->ReadCoff())
            return Failed(error, "Program " + programName + " cannot be loaded: " + program->GetErrorText());
    }
    if (program->GetProgramName() != programName)
        return Failed(error, "The image " + program->GetFileName() + " holds program " + program->GetProgramName() +
                                 ", not " + programName);

    std::optional<drivesim::LoggerSettings> logSettings;
    std::optional<drivesim::ScopeSettings> scopeSettings;
    const std::uint64_t run = state.runs + 1;
    if (logger && !logger->Arm(run, logSettings, scopeSettings, error)) {
        error = "Program " + programName + " was not started: the logger cannot record: " + error;
        return 0;
    }
    // A start that fails after arming leaves no upload waiting for a run that never began.
    struct Disarm {
        CMC_Logger* logger;
        bool started = false;
        ~Disarm() {
            if (logger && !started) logger->EndUploadData();
        }
    } disarm{logger};

    // The costs add up to what a download and start take on the virtual clock.
    constexpr double kStepCost_s = kTransactionCost_s;
    constexpr double kStartCost_s = kExecuteCodeCost_s - 3 * kStepCost_s;

    drivesim::Request stop;
    stop.op = drivesim::Op::Stop;
    if (!CMC_Comm::Transact(stop, kStepCost_s).ok()) return DriveFailed(error, "Program " + programName + " was not started");

    drivesim::Request registers;
    registers.op = drivesim::Op::WriteRegisters;
    for (const auto& parameter : setup.GetParameters()) {
        if (parameter->GetKind() != ParameterKind::Register) continue;
        const double value = parameter->GetValueInBaseUnit();
        if (!std::isfinite(value))
            return Failed(error, std::string("Register ") + parameter->GetName() + " has no finite value");
        registers.registers.emplace_back(parameter->GetName(), value);
    }
    if (!CMC_Comm::Transact(registers, kStepCost_s).ok())
        return DriveFailed(error, "The drive refused the setup's registers");

    // The program being replaced keeps the values it ended with, for reading afterwards.
    if (state.current && state.current != program) {
        for (CMC_CoffFormat::Variable& v : state.current->m_variables) {
            drivesim::Request read;
            read.op = drivesim::Op::ReadProgramVariable;
            read.name = v.name;
            const drivesim::Response response = CMC_Comm::Transact(read);
            if (response.ok() && std::isfinite(response.value)) v.lastRaw = response.value;
        }
    }
    state.current = nullptr;

    drivesim::Request download;
    download.op = drivesim::Op::Download;
    download.name = programName;
    for (const CMC_CoffFormat::Variable& v : program->m_variables)
        download.variables.push_back({v.name, v.type, v.presetRaw.value_or(v.initRaw)});
    download.logger = std::move(logSettings);
    download.scope = std::move(scopeSettings);
    if (!CMC_Comm::Transact(download, kStepCost_s).ok())
        return DriveFailed(error, "Program " + programName + " was not downloaded");
    for (CMC_CoffFormat::Variable& v : program->m_variables) {
        v.presetRaw.reset();
        v.lastRaw.reset();
    }
    state.current = program;
    state.runs = run;

    drivesim::Request start;
    start.op = drivesim::Op::Start;
    if (!CMC_Comm::Transact(start, kStartCost_s).ok()) return DriveFailed(error, "Program " + programName + " was not started");
    disarm.started = true;
    error.clear();
    return 1;
}

int CMC_ProgramRunner::SetUserVariableValue(CMC_CoffFormat* program, const char* name, double value,
                                            std::string& error) {
    const std::string variable = name ? name : "";
    if (!program || !program->IsLoaded()) return Failed(error, "No program image is loaded to set " + variable + " in");
    CMC_CoffFormat::Variable* v = program->FindVariable(variable);
    if (!v) return Failed(error, "Program " + program->GetProgramName() + " has no variable \"" + variable + "\"");
    std::string why;
    const auto raw = ToRawValue(v->type, value, why);
    if (!raw) return Failed(error, "Variable " + v->name + " of program " + program->GetProgramName() + ": " + why);
    v->presetRaw = *raw;
    if (Runner().current == program) {
        drivesim::Request write;
        write.op = drivesim::Op::WriteProgramVariable;
        write.name = v->name;
        write.value = *raw;
        if (!CMC_Comm::Transact(write).ok()) return DriveFailed(error, "Variable " + v->name + " was not written");
    }
    error.clear();
    return 1;
}

int CMC_ProgramRunner::GetUserVariableValue(CMC_CoffFormat* program, const char* name, double& value,
                                            std::string& error) {
    const std::string variable = name ? name : "";
    if (!program || !program->IsLoaded()) return Failed(error, "No program image is loaded to read " + variable + " from");
    CMC_CoffFormat::Variable* v = program->FindVariable(variable);
    if (!v) return Failed(error, "Program " + program->GetProgramName() + " has no variable \"" + variable + "\"");
    error.clear();
    if (Runner().current != program) {
        value = v->lastRaw ? FromRawValue(v->type, *v->lastRaw) : kNoValue;
        return 1;
    }
    drivesim::Request read;
    read.op = drivesim::Op::ReadProgramVariable;
    read.name = v->name;
    const drivesim::Response response = CMC_Comm::Transact(read);
    if (!response.ok()) return DriveFailed(error, "Variable " + v->name + " was not read");
    if (!std::isfinite(response.value)) {
        CMC_Comm::SetLastErrorText("Variable " + v->name + ": the drive answered with no number");
        return Failed(error, CMC_Comm::GetLastErrorText());
    }
    value = FromRawValue(v->type, response.value);
    return 1;
}

int CMC_ProgramRunner::GetAxisOn(int& flag, std::string& error) {
    drivesim::Request read;
    read.op = drivesim::Op::AxisOn;
    const drivesim::Response response = CMC_Comm::Transact(read);
    if (!response.ok()) return DriveFailed(error, "The axis state was not read");
    flag = response.value != 0.0 ? 1 : 0;
    error.clear();
    return 1;
}
