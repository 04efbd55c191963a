// Loads the motor-type plug-in and finds its five exports, as the host does.
#pragma once

#include "MC_Setup.h"

#include <cstdint>
#include <string>

class PluginLibrary {
public:
    using EditSetupFn = int (*)(CMC_Setup*);
    using ComputeAllOptionsFn = void (*)(CMC_Setup*);
    using GetScaleFactorFn = double (*)(CMC_Setup*, const char*, const char*);
    using GetScaleOffsetFn = double (*)(CMC_Setup*, const char*);

    PluginLibrary() = default;
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // Loads the library at `path`; false with Error() telling why (a missing file, a missing export).
    bool Load(const std::string& path);
    const std::string& Error() const { return m_error; }
    const std::string& Path() const { return m_path; }

    // Hands the plug-in's scale functions to a setup, so that its internal units convert.
    void Attach(CMC_Setup& setup) const;

    EditSetupFn EditSetup = nullptr;
    ComputeAllOptionsFn ComputeAllOptions = nullptr;
    GetScaleFactorFn GetScaleFactor = nullptr;
    GetScaleOffsetFn GetScaleOffset = nullptr;
    std::int32_t* VovSinusoidalMode = nullptr;

private:
    void* m_handle = nullptr;
    std::string m_path;
    std::string m_error;
};

// Where the application looks for the plug-in: $PELMORA_PLUGIN, else lib/libPelmora.so beside
// the folder of the running program, else the loader's own search.
std::string DefaultPluginPath();
