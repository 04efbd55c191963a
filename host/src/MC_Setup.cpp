#include "MC_Setup.h"

#include "MC_CoffFormat.h"
#include "MC_Comm.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <utility>

int g_bShowErrors = 1;

namespace {

std::vector<std::string>& CollectedErrors() {
    static std::vector<std::string> errors;
    return errors;
}

ErrorSink& CurrentSink() {
    static ErrorSink sink;
    return sink;
}

std::string& LastErrorText() {
    static std::string text;
    return text;
}

constexpr std::uint64_t kHashMultiplier = 0x9E3779B97F4A7C15ULL;
// Setting bit 5 of every byte folds ASCII capitals onto small letters; it also folds a few
// punctuation pairs together, which only costs a rare hash collision, never a wrong match.
constexpr std::uint64_t kCaseFoldBits = 0x2020202020202020ULL;
// Keep the table at most half full, so that probe runs stay short.
constexpr std::size_t kSlotsPerKey = 2;
constexpr std::size_t kMinSlots = 16;

constexpr std::uint64_t Mix(std::uint64_t h) {
    h ^= h >> 32;
    h *= kHashMultiplier;
    h ^= h >> 29;
    return h;
}

}  // namespace

std::uint64_t NoCaseHash(std::string_view name) noexcept {
    std::uint64_t h = name.size() * kHashMultiplier;
    const char* p = name.data();
    std::size_t left = name.size();
    while (left >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        h = (h ^ (word | kCaseFoldBits)) * kHashMultiplier;
        h ^= h >> 31;
        p += 8;
        left -= 8;
    }
    if (left > 0) {
        std::uint64_t word = 0;
        std::memcpy(&word, p, left);
        h = (h ^ (word | kCaseFoldBits)) * kHashMultiplier;
    }
    return Mix(h);
}

std::size_t NoCaseIndex::Find(std::string_view name) const noexcept {
    if (m_slots.empty()) return npos;
    const std::uint64_t hash = NoCaseHash(name);
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = m_slots[i];
        if (!slot.used) return npos;
        if (slot.hash == hash && EqualsNoCase(m_keys[slot.position], name)) return slot.position;
    }
}

bool NoCaseIndex::Insert(std::string_view name) {
    if (Find(name) != npos) return false;
    m_keys.emplace_back(name);
    if (m_keys.size() * kSlotsPerKey > m_slots.size()) {
        Rebuild(std::max(kMinSlots, std::bit_ceil(m_keys.size() * kSlotsPerKey * 2)));
    } else {
        Place(NoCaseHash(name), static_cast<std::uint32_t>(m_keys.size() - 1));
    }
    return true;
}

void NoCaseIndex::Erase(std::size_t position) {
    if (position >= m_keys.size()) return;
    m_keys.erase(m_keys.begin() + static_cast<std::ptrdiff_t>(position));
    Rebuild(m_slots.size());
}

void NoCaseIndex::Rebuild(std::size_t capacity) {
    m_slots.assign(capacity, Slot{});
    for (std::size_t k = 0; k < m_keys.size(); ++k) Place(NoCaseHash(m_keys[k]), static_cast<std::uint32_t>(k));
}

void NoCaseIndex::Place(std::uint64_t hash, std::uint32_t position) {
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = hash & mask;
    while (m_slots[i].used) i = (i + 1) & mask;
    m_slots[i] = Slot{hash, position, true};
}

ErrorSink SetErrorSink(ErrorSink sink) {
    ErrorSink previous = std::move(CurrentSink());
    CurrentSink() = std::move(sink);
    return previous;
}

void ReportError(std::string_view message) {
    LastErrorText().assign(message);
    if (!g_bShowErrors) return;
    if (CurrentSink()) {
        CurrentSink()(message);
    } else {
        CollectedErrors().emplace_back(message);
    }
}

std::vector<std::string> TakeCollectedErrors() { return std::exchange(CollectedErrors(), {}); }

// ---------------------------------------------------------------------------------------------
// Quantities

CMC_Quantity::CMC_Quantity(CMC_Setup& setup, std::string name, UnitType type, const CMC_Unit& unit)
    : m_setup(&setup), m_name(std::move(name)), m_unitType(type), m_unit(&unit) {}

const char* CMC_Quantity::GetUnitName() const {
    // Unit names are literals of the unit table, so their data is NUL-terminated.
    return m_unit->GetName().data();
}

std::string_view CMC_Quantity::GetScaleText() const { return CMC_Units::Instance().Info(m_unitType).scaleText; }

bool CMC_Quantity::ChangeUnit(std::string_view unit) {
    const CMC_Unit* found = CMC_Units::Instance().FindUnit(m_unitType, unit);
    if (!found) return false;
    m_unit = found;
    return true;
}

bool CMC_Quantity::ChangeUnitType(std::string_view unit) {
    const CMC_Unit* found = CMC_Units::Instance().FindUnitForTypeChange(m_unitType, unit);
    if (!found) return false;
    m_unitType = found->GetUnitType();
    m_unit = found;
    return true;
}

double CMC_Quantity::ScaleFactor() const {
    const UnitTypeInfo& info = CMC_Units::Instance().Info(m_unitType);
    const ScaleProvider& scale = m_setup->GetScaleProvider();
    if (!info.isPhysical || !scale.factor) return 1.0;
    // Scale texts are literals of the unit table, so their data is NUL-terminated.
    return scale.factor(m_setup, info.scaleText.data(), m_name.c_str());
}

double CMC_Quantity::ScaleOffset() const {
    const UnitTypeInfo& info = CMC_Units::Instance().Info(m_unitType);
    const ScaleProvider& scale = m_setup->GetScaleProvider();
    if (!info.isPhysical || !scale.offset) return 0.0;
    return scale.offset(m_setup, info.scaleText.data());
}

bool CMC_Quantity::HasInternalScale() const {
    const double factor = ScaleFactor();
    return factor != 0.0 && std::isfinite(factor);
}

bool CMC_Quantity::InternalToBase(double internal, double& base) const {
    const double factor = ScaleFactor();
    // A zero factor means the setup cannot scale this quantity (a zero divisor in the drive's
    // scales): internal values have no physical meaning then.
    if (factor == 0.0 || !std::isfinite(factor) || !std::isfinite(internal)) return false;
    const double result = (internal + ScaleOffset()) * factor;
    if (!std::isfinite(result)) return false;
    base = result;
    return true;
}

double CMC_Quantity::BaseToInternal(double base) const {
    if (!HasInternalScale()) return 0.0;
    const double internal = base / ScaleFactor() - ScaleOffset();
    return std::isfinite(internal) ? internal : 0.0;
}

double CMC_Quantity::InternalToBaseOrZero(double internal) const {
    double base = 0.0;
    return InternalToBase(internal, base) ? base : 0.0;
}

double CMC_Quantity::BaseToShown(double base) const {
    if (m_unit->IsInternal()) return BaseToInternal(base);
    return base / m_unit->GetFactorToBase();
}

bool CMC_Quantity::ToBase(double value, const CMC_Unit& unit, double& base) const {
    if (!std::isfinite(value)) return false;
    if (unit.IsInternal()) return InternalToBase(value, base);
    const double result = value * unit.GetFactorToBase();
    if (!std::isfinite(result)) return false;
    base = result;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Parameters

CMC_Parameter::CMC_Parameter(CMC_Setup& setup, std::string name, ParameterKind kind, UnitType type,
                             const CMC_Unit& unit, double value, double min, double max)
    : CMC_Quantity(setup, std::move(name), type, unit), m_kind(kind), m_value(value), m_min(min), m_max(max) {}

bool CMC_Parameter::SetValueInBaseUnit(double value) {
    if (!std::isfinite(value)) {
        ReportError("Parameter " + m_name + ": the value is not a finite number and was refused.");
        return false;
    }
    // Registers and integer parameters hold whole numbers: the host stores the nearest one, so
    // that a value encoded into registers snaps to what the drive can hold.
    const bool whole = m_kind == ParameterKind::Register || m_kind == ParameterKind::Integer;
    m_value = std::clamp(whole ? std::round(value) : value, m_min, m_max);
    return true;
}

double CMC_Parameter::GetValueInInternalUnit() const { return BaseToInternal(m_value); }

bool CMC_Parameter::SetValueInInternalUnit(double value) {
    double base = 0.0;
    if (!InternalToBase(value, base)) {
        ReportError("Parameter " + m_name + ": the internal value cannot be converted to " +
                    std::string(GetScaleText()) + " and was refused.");
        return false;
    }
    return SetValueInBaseUnit(base);
}

double CMC_Parameter::GetValue() const { return BaseToShown(m_value); }

bool CMC_Parameter::SetValue(double valueInUnitOnShow) {
    double base = 0.0;
    if (!ToBase(valueInUnitOnShow, *m_unit, base)) {
        ReportError("Parameter " + m_name + ": the value cannot be converted from " + GetUnitName() +
                    " and was refused.");
        return false;
    }
    return SetValueInBaseUnit(base);
}

bool CMC_Parameter::SetMinInBaseUnit(double min) {
    if (!std::isfinite(min) || min > m_max) return false;
    m_min = min;
    m_value = std::max(m_value, m_min);
    return true;
}

bool CMC_Parameter::SetMaxInBaseUnit(double max) {
    if (!std::isfinite(max) || max < m_min) return false;
    m_max = max;
    m_value = std::min(m_value, m_max);
    return true;
}

void CMC_Parameter::RestoreState(const State& state) {
    assert(std::isfinite(state.value) && std::isfinite(state.min) && std::isfinite(state.max));
    m_value = state.value;
    m_min = state.min;
    m_max = state.max;
}

namespace {

// Without a drive the user sees why, and so does whoever asks the link for its last error.
bool DriveConnected(const std::string& what) {
    if (CMC_Comm::IsConnected()) return true;
    ReportError(what + ": no drive is connected.");
    CMC_Comm::SetLastErrorText(GetLastErrorText());
    return false;
}

}  // namespace

int CMC_Parameter::WriteToChip() {
    if (!DriveConnected("Parameter " + m_name + " was not written")) return 0;
    // Only registers live on the drive; a user parameter reaches it through the registers the
    // plug-in computes from it.
    if (m_kind != ParameterKind::Register) {
        CMC_Comm::SetLastErrorText("Parameter " + m_name + " is not a drive register.");
        return 0;
    }
    drivesim::Request write;
    write.op = drivesim::Op::WriteRegister;
    write.name = m_name;
    write.value = m_value;
    return CMC_Comm::Transact(write).ok() ? 1 : 0;
}

CMC_Parameter* CMC_Parameters::operator[](int index) const {
    if (index < 0 || index >= GetParametersCount()) return nullptr;
    return m_items[static_cast<std::size_t>(index)].get();
}

// ---------------------------------------------------------------------------------------------
// Variables

CMC_Variable::CMC_Variable(CMC_Setup& setup, std::string name, UnitType type, const CMC_Unit& unit)
    : CMC_Quantity(setup, std::move(name), type, unit) {}

int CMC_Variable::ReadFromChip() {
    if (!DriveConnected("Variable " + m_name + " was not read")) return 0;
    drivesim::Request read;
    read.op = drivesim::Op::ReadVariable;
    read.name = m_name;
    const drivesim::Response response = CMC_Comm::Transact(read);
    if (!response.ok()) return 0;
    // The "no value" mark must never pass for a reading, nor a value that is no number.
    if (!std::isfinite(response.value) || response.value == kNoValue) {
        CMC_Comm::SetLastErrorText("Drive read variable " + m_name + " failed: the drive answered with no number");
        return 0;
    }
    m_internal = response.value;
    return 1;
}

int CMC_Variable::WriteToChip() {
    if (!DriveConnected("Variable " + m_name + " was not written")) return 0;
    if (!std::isfinite(m_internal)) {
        CMC_Comm::SetLastErrorText("Variable " + m_name + " has no finite value to write");
        return 0;
    }
    drivesim::Request write;
    write.op = drivesim::Op::WriteVariable;
    write.name = m_name;
    write.value = m_internal;
    return CMC_Comm::Transact(write).ok() ? 1 : 0;
}

std::string CMC_Variable::PrintValue() const {
    const double shown = GetValueShown();
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, shown);
    std::string text(buffer, result.ptr);
    text += ' ';
    text += GetUnitName();
    return text;
}

// ---------------------------------------------------------------------------------------------
// Setup

CMC_Setup::CMC_Setup() = default;

CMC_Parameter* CMC_Setup::AddParameter(std::string name, ParameterKind kind, UnitType type, const CMC_Unit& unit,
                                       double value, double min, double max) {
    if (name.empty() || !m_parameterIndex.Insert(name)) return nullptr;
    m_parameters.m_items.push_back(
        std::make_unique<CMC_Parameter>(*this, std::move(name), kind, type, unit, value, min, max));
    return m_parameters.m_items.back().get();
}

CMC_Variable* CMC_Setup::AddVariable(std::string name, UnitType type, const CMC_Unit& unit) {
    if (name.empty() || !m_variableIndex.Insert(name)) return nullptr;
    m_variables.push_back(std::make_unique<CMC_Variable>(*this, std::move(name), type, unit));
    return m_variables.back().get();
}

std::vector<CMC_Parameter::State> CMC_Setup::SaveParameterStates() const {
    std::vector<CMC_Parameter::State> states;
    states.reserve(m_parameters.m_items.size());
    for (const auto& parameter : m_parameters.m_items) states.push_back(parameter->GetState());
    return states;
}

void CMC_Setup::RestoreParameterStates(const std::vector<CMC_Parameter::State>& states) {
    assert(states.size() == m_parameters.m_items.size());
    for (std::size_t i = 0; i < states.size() && i < m_parameters.m_items.size(); ++i) {
        m_parameters.m_items[i]->RestoreState(states[i]);
    }
}

CMC_Parameter* CMC_Setup::FindParameter(std::string_view name) const {
    ++m_lookups;
    if (const std::size_t at = m_parameterIndex.Find(name); at != NoCaseIndex::npos) {
        return m_parameters.m_items[at].get();
    }
    if (g_bShowErrors) ReportError("Parameter " + std::string(name) + " not found in the setup.");
    return nullptr;
}

double CMC_Setup::GetParameterValueInBaseUnit(std::string_view name) const {
    const CMC_Parameter* parameter = FindParameter(name);
    return parameter ? parameter->GetValueInBaseUnit() : 0.0;
}

double CMC_Setup::GetParameterValueInInternalUnit(std::string_view name) const {
    const CMC_Parameter* parameter = FindParameter(name);
    return parameter ? parameter->GetValueInInternalUnit() : 0.0;
}

double CMC_Setup::GetParameterValue(std::string_view name) const {
    const CMC_Parameter* parameter = FindParameter(name);
    return parameter ? parameter->GetValue() : 0.0;
}

bool CMC_Setup::SetParameterValueInBaseUnit(std::string_view name, double value) {
    CMC_Parameter* parameter = FindParameter(name);
    return parameter && parameter->SetValueInBaseUnit(value);
}

const char* CMC_Setup::GetParameterUnit(std::string_view name) const {
    const CMC_Parameter* parameter = FindParameter(name);
    return parameter ? parameter->GetUnitName() : "";
}

bool CMC_Setup::ChangeParameterUnit(std::string_view name, std::string_view unit) {
    CMC_Parameter* parameter = FindParameter(name);
    return parameter && parameter->ChangeUnit(unit);
}

void CMC_Setup::SetOption(std::string_view name, std::string_view value) {
    if (const std::size_t at = m_optionIndex.Find(name); at != NoCaseIndex::npos) {
        m_options[at].second = value;
        return;
    }
    m_optionIndex.Insert(name);
    m_options.emplace_back(std::string(name), std::string(value));
}

std::string CMC_Setup::GetOptionNoError(std::string_view name) const {
    const std::size_t at = m_optionIndex.Find(name);
    return at == NoCaseIndex::npos ? std::string() : m_options[at].second;
}

int CMC_Setup::GetIntOption(std::string_view name) const {
    const std::size_t at = m_optionIndex.Find(name);
    if (at == NoCaseIndex::npos) return 0;
    const std::string& text = m_options[at].second;
    const char* first = text.c_str();
    while (*first == ' ' || *first == '\t') ++first;
    if (*first == '+') ++first;
    int value = 0;
    const auto result = std::from_chars(first, text.c_str() + text.size(), value);
    return result.ec == std::errc() ? value : 0;
}

void CMC_Setup::ClearOption(std::string_view name) {
    const std::size_t at = m_optionIndex.Find(name);
    if (at == NoCaseIndex::npos) return;
    m_optionIndex.Erase(at);
    m_options.erase(m_options.begin() + static_cast<std::ptrdiff_t>(at));
}

std::vector<std::pair<std::string, std::string>> CMC_Setup::GetOptions() const { return m_options; }

CMC_Variable* CMC_Setup::FindVariable(std::string_view name, int bQuiet) const {
    if (const std::size_t at = m_variableIndex.Find(name); at != NoCaseIndex::npos) {
        return m_variables[at].get();
    }
    if (!bQuiet && g_bShowErrors) ReportError("Variable " + std::string(name) + " not found in the setup.");
    return nullptr;
}

bool CMC_Setup::IsFirmwareID(std::string_view text) {
    static const std::regex kFirmwareId("F[0-9]{3}[A-Z]");
    return std::regex_match(text.begin(), text.end(), kFirmwareId);
}

int CMC_Setup::SetFirmwareID(std::string_view text) {
    if (!IsFirmwareID(text)) return 0;
    m_identity.firmwareId = text;
    return 1;
}

int CMC_Setup::GetIOPinFromPort(int port) const {
    for (const IOPin& io : m_identity.ioPins) {
        if (io.port == port) return io.pin;
    }
    return -1;
}

int CMC_Setup::GetIOPortFromPin(int pin) const {
    for (const IOPin& io : m_identity.ioPins) {
        if (io.pin == pin) return io.port;
    }
    return -1;
}

bool CMC_Setup::IsBrakePortEnable(int port) const {
    return std::any_of(m_identity.ioPins.begin(), m_identity.ioPins.end(),
                       [port](const IOPin& io) { return io.port == port && io.brake; });
}

bool CMC_Setup::IsIOMC3PortInverted(int port) const {
    return std::any_of(m_identity.ioPins.begin(), m_identity.ioPins.end(),
                       [port](const IOPin& io) { return io.port == port && io.inverted; });
}

int CMC_Setup::GetNumberOfBrakeOutputs() const {
    return static_cast<int>(
        std::count_if(m_identity.ioPins.begin(), m_identity.ioPins.end(), [](const IOPin& io) { return io.brake; }));
}

// ---------------------------------------------------------------------------------------------
// Free functions

std::uint32_t Compute_ADCMaxValue(const CMC_Setup* setup) {
    constexpr int kSampleBits = 16;
    const int bits = setup ? std::clamp(setup->GetADCBits(), 1, kSampleBits) : 10;
    return ((1U << bits) - 1U) << (kSampleBits - bits);
}

double RoundDecimalValue(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    const double rounded = std::round(value * scale) / scale;
    // Beyond double's resolution there is nothing to round (and the product may overflow).
    return std::isfinite(rounded) ? rounded : value;
}

long TG_Round(double value) {
    if (std::isnan(value)) return 0;
    const double rounded = std::round(value);
    if (rounded >= static_cast<double>(LONG_MAX)) return LONG_MAX;
    if (rounded <= static_cast<double>(LONG_MIN)) return LONG_MIN;
    return static_cast<long>(rounded);
}

double TG_FRound(double value) { return std::round(value); }

std::string GetGUIDirectory() {
    if (const char* dir = std::getenv("PELMORA_GUI_DIR"); dir && *dir) return dir;
    return ".";
}

std::string GetHelpFileOfGUI(const CMC_Setup* setup) { return setup ? setup->GetIdentity().helpFile : std::string(); }

const char* GetLastErrorText() { return LastErrorText().c_str(); }
