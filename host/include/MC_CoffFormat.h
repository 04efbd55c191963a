// Drive program images and the program runner: what a program declares, the values the host sets
// for its next download, and the live values while it is the drive's current program.
#pragma once

#include "drivesim/Drive.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CMC_Setup;
class CMC_Logger;

// What a program variable reads as when no value exists: declared, but never on a drive.
inline constexpr double kNoValue = 1.2345e100;

// One program image: the program's name and its variables with their types and initial values.
class CMC_CoffFormat {
public:
    struct Variable {
        std::string name;
        drivesim::VarType type = drivesim::VarType::Int16;
        double initRaw = 0.0;
        std::optional<double> presetRaw;  // set since the last download
        std::optional<double> lastRaw;    // as read back when another program replaced this one
    };

    CMC_CoffFormat() = default;
    ~CMC_CoffFormat();
    CMC_CoffFormat(const CMC_CoffFormat&) = delete;
    CMC_CoffFormat& operator=(const CMC_CoffFormat&) = delete;

    void SetFileName(std::string path) { m_path = std::move(path); }
    const std::string& GetFileName() const { return m_path; }
    // Loads the image from the file name; non-zero on success. A failure keeps nothing of the
    // file and says what and where in GetErrorText. Reloading forgets every set value.
    int ReadCoff();
    int ReadCoff(const std::string& path);

    bool IsLoaded() const { return m_loaded; }
    const std::string& GetProgramName() const { return m_program; }
    const std::string& GetErrorText() const { return m_error; }
    const std::vector<Variable>& GetVariables() const { return m_variables; }
    // Case-insensitive; null when the program declares no such variable.
    Variable* FindVariable(std::string_view name);

private:
    friend class CMC_ProgramRunner;
    std::string m_path;
    std::string m_program;
    std::string m_error;
    std::vector<Variable> m_variables;
    bool m_loaded = false;
};

// Full path of a program's image in the host's program directory; empty for a name that is not
// a plain program name (letters, digits, underscores), so that no name reaches outside it.
std::string GetOutPathName(std::string_view program);
// PELMORA_PROGRAM_DIR when set, else share/pelmora/programs beside the host library's folder
// (the build tree and an installed tree alike).
std::string GetProgramDirectory();

// A value in a declared type: rounded to nearest (halves away from zero) for the integer types,
// ×65536 for 16.16. Empty, with `error` set, when it is not finite or does not fit.
std::optional<double> ToRawValue(drivesim::VarType type, double value, std::string& error);
double FromRawValue(drivesim::VarType type, double raw);
const char* VarTypeName(drivesim::VarType type);
std::optional<drivesim::VarType> ParseVarType(std::string_view text);

// Runs programs on the connected drive (CMC_Comm) and keeps track of which image is the drive's
// current program. Every failure returns 0 with the reason in `error` (and in
// CMC_Comm::GetLastErrorText when the drive refused or did not answer).
class CMC_ProgramRunner {
public:
    // Stops what runs (axis off), downloads the setup's registers as one block, downloads the
    // program with its preset variables (each then back to its initial value for the next
    // download), arms the logger and starts. Without a program object the image is loaded by
    // name. Non-zero when the program was started.
    static int ExecuteCode(CMC_Setup& setup, const char* name, CMC_CoffFormat* program, CMC_Logger* logger,
                           std::string& error);
    // Ends whatever runs: program stopped, axis off.
    static int StopProgram(std::string& error);
    static int SetUserVariableValue(CMC_CoffFormat* program, const char* name, double value, std::string& error);
    // `value` is kNoValue (and the call succeeds) for a declared variable that has no value yet.
    static int GetUserVariableValue(CMC_CoffFormat* program, const char* name, double& value, std::string& error);
    static int GetAxisOn(int& flag, std::string& error);

    // The image the drive runs (or ran last), or null.
    static const CMC_CoffFormat* CurrentProgram();
    // Counts successful starts: loggers know by it whether the last start armed them.
    static std::uint64_t RunNumber();
    // Called by an image that goes away while current.
    static void Forget(const CMC_CoffFormat* program);
};
