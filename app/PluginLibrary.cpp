#include "PluginLibrary.h"

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>

namespace {

template <typename T>
bool Resolve(void* handle, const char* name, T& out, std::string& error) {
    dlerror();
    void* symbol = dlsym(handle, name);
    if (const char* message = dlerror(); message || !symbol) {
        error = std::string("the plug-in does not export ") + name + (message ? std::string(": ") + message : "");
        return false;
    }
    out = reinterpret_cast<T>(symbol);
    return true;
}

}  // namespace

PluginLibrary::~PluginLibrary() {
    if (m_handle) dlclose(m_handle);
}

bool PluginLibrary::Load(const std::string& path) {
    m_path = path;
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char* message = dlerror();
        m_error = "cannot load the plug-in " + path + ": " + (message ? message : "unknown error");
        return false;
    }
    return Resolve(m_handle, "EditSetup", EditSetup, m_error) &&
           Resolve(m_handle, "ComputeAllOptions", ComputeAllOptions, m_error) &&
           Resolve(m_handle, "GetScaleFactor", GetScaleFactor, m_error) &&
           Resolve(m_handle, "GetScaleOffset", GetScaleOffset, m_error) &&
           Resolve(m_handle, "g_bVovSinusoidalMode", VovSinusoidalMode, m_error);
}

void PluginLibrary::Attach(CMC_Setup& setup) const { setup.SetScaleProvider({GetScaleFactor, GetScaleOffset}); }

std::string DefaultPluginPath() {
    if (const char* path = std::getenv("PELMORA_PLUGIN"); path && *path) return path;
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path beside = exe.parent_path().parent_path() / "lib" / "libPelmora.so";
        if (std::filesystem::exists(beside, error)) return beside.string();
    }
    return "libPelmora.so";
}
