// Placeholder firmware: holds registers and variables so that the host side can be built
// against the interface; the physics and the programs replace it.
#include "drivesim/Drive.h"
#include "drivesim/SimConfig.h"

#include <map>

namespace drivesim {

struct Drive::Impl {
    SimConfig config;
    double time_s = 0.0;
    std::map<std::string, double> registers;
    std::map<std::string, double> program_variables;
    std::map<std::string, double> variables;
    std::string program;
    bool running = false;
};

Drive::Drive(const SimConfig& config) : m_impl(std::make_unique<Impl>()) { m_impl->config = config; }
Drive::~Drive() = default;

void Drive::AdvanceTo(double time_s) {
    if (time_s > m_impl->time_s) m_impl->time_s = time_s;
}
double Drive::Time_s() const { return m_impl->time_s; }

Status Drive::WriteRegisters(const std::vector<std::pair<std::string, double>>& registers) {
    for (const auto& [name, value] : registers) m_impl->registers[name] = value;
    return Status::Ok();
}
Status Drive::WriteRegister(const std::string& name, double value) {
    m_impl->registers[name] = value;
    return Status::Ok();
}
Result<double> Drive::ReadRegister(const std::string& name) const {
    auto it = m_impl->registers.find(name);
    if (it == m_impl->registers.end()) return Result<double>::Fail("unknown register " + name);
    return Result<double>::Ok(it->second);
}
void Drive::Stop() { m_impl->running = false; }
Status Drive::Download(const std::string& program, const std::vector<ProgramVariable>& variables,
                       const std::optional<LoggerSettings>&, const std::optional<ScopeSettings>&) {
    m_impl->program = program;
    m_impl->program_variables.clear();
    for (const auto& v : variables) m_impl->program_variables[v.name] = v.raw;
    return Status::Ok();
}
Status Drive::Start() {
    m_impl->running = true;
    return Status::Ok();
}
bool Drive::Running() const { return m_impl->running; }
std::string Drive::CurrentProgram() const { return m_impl->program; }
Result<double> Drive::ReadProgramVariable(const std::string& name) {
    auto it = m_impl->program_variables.find(name);
    if (it == m_impl->program_variables.end()) return Result<double>::Fail("unknown program variable " + name);
    return Result<double>::Ok(it->second);
}
Status Drive::WriteProgramVariable(const std::string& name, double raw) {
    m_impl->program_variables[name] = raw;
    return Status::Ok();
}
Result<double> Drive::ReadVariable(const std::string& name) {
    return Result<double>::Ok(m_impl->variables[name]);
}
Status Drive::WriteVariable(const std::string& name, double raw) {
    m_impl->variables[name] = raw;
    return Status::Ok();
}
bool Drive::AxisOn() const { return m_impl->running; }
Result<std::vector<LogRecord>> Drive::UploadLog() {
    return Result<std::vector<LogRecord>>::Fail("the logger was not triggered");
}
std::vector<std::vector<std::uint8_t>> Drive::TakeFrames() { return {}; }
bool Drive::LinkDropped() const { return false; }
const SimConfig& Drive::Config() const { return m_impl->config; }

SimConfig DefaultSimConfig() { return {}; }
Result<SimConfig> LoadSimConfig(const std::string& path) {
    return Result<SimConfig>::Fail(path + ": simulator files are not read yet");
}

}  // namespace drivesim
