#include "drivesim/Drive.h"

#include "Firmware.h"
#include "drivesim/SimConfig.h"

#include <cmath>

namespace drivesim {

struct Drive::Impl {
    explicit Impl(const SimConfig& c) : config(c), firmware(c) {}
    SimConfig config;
    detail::Firmware firmware;
};

Drive::Drive(const SimConfig& config) : m_impl(std::make_unique<Impl>(config)) {}
Drive::~Drive() = default;

void Drive::AdvanceTo(double time_s) {
    if (std::isfinite(time_s)) m_impl->firmware.AdvanceTo(time_s);
}
double Drive::Time_s() const { return m_impl->firmware.Time_s(); }

Status Drive::WriteRegisters(const std::vector<std::pair<std::string, double>>& registers) {
    for (const auto& [name, value] : registers) {
        Status status = m_impl->firmware.WriteRegister(name, value);
        if (!status.ok()) return status;
    }
    return Status::Ok();
}
Status Drive::WriteRegister(const std::string& name, double value) { return m_impl->firmware.WriteRegister(name, value); }
Result<double> Drive::ReadRegister(const std::string& name) const { return m_impl->firmware.ReadRegister(name); }

void Drive::Stop() { m_impl->firmware.Stop(); }
Status Drive::Download(const std::string& program, const std::vector<ProgramVariable>& variables,
                       const std::optional<LoggerSettings>& logger, const std::optional<ScopeSettings>& scope) {
    return m_impl->firmware.Download(program, variables, logger, scope);
}
Status Drive::Start() { return m_impl->firmware.Start(); }
bool Drive::Running() const { return m_impl->firmware.Running(); }
std::string Drive::CurrentProgram() const { return m_impl->firmware.ProgramName(); }

Result<double> Drive::ReadProgramVariable(const std::string& name) {
    return m_impl->firmware.ReadProgramVariable(name);
}
Status Drive::WriteProgramVariable(const std::string& name, double raw) {
    return m_impl->firmware.WriteProgramVariable(name, raw);
}
Result<double> Drive::ReadVariable(const std::string& name) { return m_impl->firmware.ReadVariable(name); }
Status Drive::WriteVariable(const std::string& name, double raw) { return m_impl->firmware.WriteVariable(name, raw); }

bool Drive::AxisOn() const { return m_impl->firmware.IsAxisOn(); }

Result<std::vector<LogRecord>> Drive::UploadLog() { return m_impl->firmware.UploadLog(); }

std::vector<std::vector<std::uint8_t>> Drive::TakeFrames() { return m_impl->firmware.TakeFrames(); }

bool Drive::LinkDropped() const {
    const auto& drop = m_impl->config.faults.link_drop_at_s;
    return drop && Time_s() >= *drop;
}

const SimConfig& Drive::Config() const { return m_impl->config; }

}  // namespace drivesim
