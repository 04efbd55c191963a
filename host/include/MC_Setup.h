// The host's per-axis setup: parameters, options, drive variables and the drive's identity.
#pragma once

#include "MC_Units.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CMC_Setup;

// When 0, failed look-ups are not reported to the user. Optional look-ups save it, set it to 0
// and restore it (CMC_QuietErrors does that for a scope).
extern "C" int g_bShowErrors;

// Where the host's error messages go: a message box in the GUI, a list in headless runs.
using ErrorSink = std::function<void(std::string_view message)>;
// Installs a sink and returns the previous one. An empty sink restores the collecting one.
ErrorSink SetErrorSink(ErrorSink sink);
// Reports an error to the sink (when g_bShowErrors is non-zero) and remembers it as the last
// error text either way.
void ReportError(std::string_view message);
// Messages the collecting sink received since the last call; clears the list.
std::vector<std::string> TakeCollectedErrors();

class CMC_QuietErrors {
public:
    CMC_QuietErrors() : m_saved(g_bShowErrors) { g_bShowErrors = 0; }
    ~CMC_QuietErrors() { g_bShowErrors = m_saved; }
    CMC_QuietErrors(const CMC_QuietErrors&) = delete;
    CMC_QuietErrors& operator=(const CMC_QuietErrors&) = delete;

private:
    int m_saved;
};

// What a parameter is; the numbers are what GetType returns, and what the time rescaling of the
// advanced dialog skips (registers and hardware constants).
enum class ParameterKind : int {
    Real = 0,
    Integer = 1,
    Flag = 2,
    Selector = 3,
    Derived = 4,
    Register = 5,
    Constant = 6,
};

// The plug-in's scale functions, handed to every setup after the plug-in is loaded.
struct ScaleProvider {
    double (*factor)(CMC_Setup* setup, const char* unit, const char* name) = nullptr;
    double (*offset)(CMC_Setup* setup, const char* unit) = nullptr;
};

// Case-insensitive hash of a name: equal for names that differ only in ASCII case.
std::uint64_t NoCaseHash(std::string_view name) noexcept;

// Name -> position index with case-insensitive keys: open addressing over the full 64-bit hash,
// so a look-up compares names only on a hash match and allocates nothing.
class NoCaseIndex {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // The position of `name`, or npos.
    std::size_t Find(std::string_view name) const noexcept;
    // Adds `name` at the next position; false (nothing added) when it is already there.
    bool Insert(std::string_view name);
    // Removes the name at `position`; later positions move down by one.
    void Erase(std::size_t position);
    std::size_t Size() const { return m_keys.size(); }

private:
    struct Slot {
        std::uint64_t hash = 0;
        std::uint32_t position = 0;
        bool used = false;
    };
    void Rebuild(std::size_t capacity);
    void Place(std::uint64_t hash, std::uint32_t position);

    std::vector<std::string> m_keys;
    std::vector<Slot> m_slots;
};

// A quantity in a physical unit type, with the unit it is shown in. Shared by parameters and
// drive variables: both convert through the plug-in's scale factor for their own name.
class CMC_Quantity {
public:
    const char* GetName() const { return m_name.c_str(); }
    UnitType GetUnitType() const { return m_unitType; }
    const CMC_Unit& GetUnit() const { return *m_unit; }
    // The unit on show.
    const char* GetUnitName() const;
    // The base unit's text as the scale functions know it ("V " for the bus voltage).
    std::string_view GetScaleText() const;

    // Chooses another unit of the same unit type to show (no value changes). False when the
    // unit type has no such unit.
    bool ChangeUnit(std::string_view unit);
    // Switches between the linear and rotary member of a family, naming a display unit of the
    // target type ("rot", "mm"); that unit goes on show. The base value stays as it is.
    bool ChangeUnitType(std::string_view unit);

    // `value` in `unit` (one of this quantity's units, IU included) in the base unit. False when
    // it has no finite base value (a zero scale factor, an overflow).
    bool ToBase(double value, const CMC_Unit& unit, double& base) const;

    // An internal value in the base unit: (internal + offset) * factor. False when the setup's
    // scales give no factor for this quantity (a zero divisor) or the result is not finite.
    bool InternalToBase(double internal, double& base) const;
    // Whether the setup's scales give this quantity a usable (finite, non-zero) factor.
    bool HasInternalScale() const;

    // (internal + offset) * factor = base; factor 1 and offset 0 for quantities with no unit.
    double ScaleFactor() const;
    double ScaleOffset() const;

protected:
    CMC_Quantity(CMC_Setup& setup, std::string name, UnitType type, const CMC_Unit& unit);
    double BaseToInternal(double base) const;
    // The base value of an internal one, 0 where there is none.
    double InternalToBaseOrZero(double internal) const;
    double BaseToShown(double base) const;

    CMC_Setup* m_setup;
    std::string m_name;
    UnitType m_unitType;
    const CMC_Unit* m_unit;
};

class CMC_Parameter : public CMC_Quantity {
public:
    CMC_Parameter(CMC_Setup& setup, std::string name, ParameterKind kind, UnitType type,
                  const CMC_Unit& unit, double value, double min, double max);

    int GetType() const { return static_cast<int>(m_kind); }
    ParameterKind GetKind() const { return m_kind; }

    double GetValueInBaseUnit() const { return m_value; }
    // Clamps to [min, max], rounds registers and integers to the nearest whole number; refuses
    // (false, value unchanged) a value that is not finite.
    bool SetValueInBaseUnit(double value);
    double GetValueInInternalUnit() const;
    // False, value unchanged, when the internal value has no finite base value.
    bool SetValueInInternalUnit(double value);
    // The value in the unit on show.
    double GetValue() const;
    bool SetValue(double valueInUnitOnShow);

    double GetMinInBaseUnit() const { return m_min; }
    double GetMaxInBaseUnit() const { return m_max; }
    // Refused (false, nothing changed) when not finite or when it would put the minimum above
    // the maximum; a value left outside the new range is clamped into it.
    bool SetMinInBaseUnit(double min);
    bool SetMaxInBaseUnit(double max);

    // Sends the value to the drive. Non-zero when the drive took it.
    int WriteToChip();

    // Everything a computation can change in a parameter, so that a trial computation can put
    // the setup back exactly as it was (no clamping or rounding on the way back).
    struct State {
        double value;
        double min;
        double max;
    };
    State GetState() const { return {m_value, m_min, m_max}; }
    void RestoreState(const State& state);

private:
    ParameterKind m_kind;
    double m_value;
    double m_min;
    double m_max;
};

class CMC_Variable : public CMC_Quantity {
public:
    CMC_Variable(CMC_Setup& setup, std::string name, UnitType type, const CMC_Unit& unit);

    // Reads the drive's value; non-zero on success, after which the value getters hold it.
    int ReadFromChip();
    // Sends the internal value to the drive; non-zero when the drive took it.
    int WriteToChip();
    double GetValueInBaseUnit() const { return InternalToBaseOrZero(m_internal); }
    double GetValueInInternalUnit() const { return m_internal; }
    void SetValueInInternalUnit(double value) { m_internal = value; }
    // True once a unit other than the internal one has been chosen for showing.
    bool HasSelectedUnit() const { return !m_unit->IsInternal(); }
    // The value in the unit on show.
    double GetValueShown() const { return BaseToShown(GetValueInBaseUnit()); }
    // "value unit" in the unit on show.
    std::string PrintValue() const;

private:
    double m_internal = 0.0;
};

class CMC_Parameters {
public:
    int GetParametersCount() const { return static_cast<int>(m_items.size()); }
    CMC_Parameter* operator[](int index) const;

    auto begin() const { return m_items.begin(); }
    auto end() const { return m_items.end(); }

private:
    friend class CMC_Setup;
    std::vector<std::unique_ptr<CMC_Parameter>> m_items;
};

struct IOPin {
    int port = 0;
    int pin = 0;
    bool inverted = false;
    bool brake = false;
};

struct SetupIdentity {
    std::string description;
    std::string productId;
    std::string firmwareId;
    std::string userAppId;
    unsigned e2romSize = 0;
    int mcVersion = 3;
    int adcBits = 10;
    std::string guiDirectory;
    std::string helpFile;
    std::vector<IOPin> ioPins;
};

class CMC_Setup {
public:
    CMC_Setup();
    CMC_Setup(const CMC_Setup&) = delete;
    CMC_Setup& operator=(const CMC_Setup&) = delete;

    // --- building a setup (loaders and tests) ---
    // Null when the name is empty or already taken (without regard to case).
    CMC_Parameter* AddParameter(std::string name, ParameterKind kind, UnitType type, const CMC_Unit& unit,
                                double value, double min, double max);
    CMC_Variable* AddVariable(std::string name, UnitType type, const CMC_Unit& unit);
    void SetScaleProvider(ScaleProvider provider) { m_scale = provider; }
    const ScaleProvider& GetScaleProvider() const { return m_scale; }

    // --- parameters ---
    // Null, and an error report unless g_bShowErrors is 0, when the setup has no such parameter.
    CMC_Parameter* FindParameter(std::string_view name) const;
    // How many parameter look-ups this setup has answered: what a pass costs, for benchmarks.
    std::uint64_t GetLookupCount() const { return m_lookups; }
    // The by-name shortcuts report a missing parameter the same way and then answer 0 / false.
    double GetParameterValueInBaseUnit(std::string_view name) const;
    double GetParameterValueInInternalUnit(std::string_view name) const;
    double GetParameterValue(std::string_view name) const;
    bool SetParameterValueInBaseUnit(std::string_view name, double value);
    const char* GetParameterUnit(std::string_view name) const;
    bool ChangeParameterUnit(std::string_view name, std::string_view unit);
    CMC_Parameters& GetParameters() { return m_parameters; }
    // Every parameter's state in setup order, and putting such a list back (same setup, same
    // parameters: a list of another length is a programmer error).
    std::vector<CMC_Parameter::State> SaveParameterStates() const;
    void RestoreParameterStates(const std::vector<CMC_Parameter::State>& states);
    const CMC_Parameters& GetParameters() const { return m_parameters; }
    static const CMC_Units& GetUnits() { return CMC_Units::Instance(); }

    // --- options ---
    void SetOption(std::string_view name, std::string_view value);
    // Empty when absent; never reports.
    std::string GetOptionNoError(std::string_view name) const;
    // The option as an integer (leading decimal digits, as atoi); 0 when absent or not a number.
    int GetIntOption(std::string_view name) const;
    void ClearOption(std::string_view name);
    // Name and value pairs in the order the options were first set.
    std::vector<std::pair<std::string, std::string>> GetOptions() const;

    // --- drive variables ---
    // Null when absent; reported unless `bQuiet` or g_bShowErrors is 0.
    CMC_Variable* FindVariable(std::string_view name, int bQuiet = 0) const;
    const std::vector<std::unique_ptr<CMC_Variable>>& GetVariables() const { return m_variables; }

    // --- identity and hardware ---
    const char* GetDescription() const { return m_identity.description.c_str(); }
    void SetDescription(std::string_view text) { m_identity.description = text; }
    const char* GetProductID() const { return m_identity.productId.c_str(); }
    void SetProductID(std::string_view text) { m_identity.productId = text; }
    const char* GetFirmwareID() const { return m_identity.firmwareId.c_str(); }
    // Zero (and the ID unchanged) unless the text is a firmware ID: "F", three digits, one capital.
    int SetFirmwareID(std::string_view text);
    static bool IsFirmwareID(std::string_view text);
    const char* GetUserAppID() const { return m_identity.userAppId.c_str(); }
    void SetUserAppID(std::string_view text) { m_identity.userAppId = text; }
    unsigned GetE2ROMSize() const { return m_identity.e2romSize; }
    void SetE2ROMSize(unsigned words) { m_identity.e2romSize = words; }
    int GetMCVersion() const { return m_identity.mcVersion; }
    int GetADCBits() const { return m_identity.adcBits; }
    // -1 when the port or pin is not wired.
    int GetIOPinFromPort(int port) const;
    int GetIOPortFromPin(int pin) const;
    bool IsBrakePortEnable(int port) const;
    bool IsIOMC3PortInverted(int port) const;
    int GetNumberOfBrakeOutputs() const;
    const SetupIdentity& GetIdentity() const { return m_identity; }
    void SetIdentity(SetupIdentity identity) { m_identity = std::move(identity); }

private:
    CMC_Parameters m_parameters;
    NoCaseIndex m_parameterIndex;
    std::vector<std::unique_ptr<CMC_Variable>> m_variables;
    NoCaseIndex m_variableIndex;
    std::vector<std::pair<std::string, std::string>> m_options;
    NoCaseIndex m_optionIndex;
    SetupIdentity m_identity;
    ScaleProvider m_scale;
    mutable std::uint64_t m_lookups = 0;
};

// Full-scale count of the drive's analogue converter, its samples read left-aligned in 16 bits:
// a 10-bit converter gives 65472.
std::uint32_t Compute_ADCMaxValue(const CMC_Setup* setup);
// The value rounded to `decimals` decimals, halves away from zero.
double RoundDecimalValue(double value, int decimals);
// Nearest integer, halves away from zero; saturates at the long range.
long TG_Round(double value);
// Nearest whole number as a double, halves away from zero.
double TG_FRound(double value);
// Folder of the host's GUI files (help and pictures): PELMORA_GUI_DIR or the current folder.
std::string GetGUIDirectory();
// The help file named in the setup's identity; empty when none.
std::string GetHelpFileOfGUI(const CMC_Setup* setup);
// Text of the host's last failure.
const char* GetLastErrorText();
