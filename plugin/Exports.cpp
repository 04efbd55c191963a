// The plug-in's entry points, found by the host by name. Nothing else leaves the library, and no
// exception crosses the host's C boundary: a failure is reported to the host and answered with
// the value that changes nothing.
#include "BaseQuantities.h"
#include "DriveSetupDlg.h"
#include "Options.h"

#include "MC_Setup.h"

#include <cstdint>
#include <exception>
#include <string>

namespace {

void ReportFailure(const char* entryPoint, const char* what) {
    try {
        ReportError(std::string("The plug-in's ") + entryPoint + " failed: " + what);
    } catch (...) {
        // Not even the report could be made (memory exhausted); the caller gets the safe answer.
    }
}

// Runs `body`; on any exception reports it and answers `fallback`.
template <typename Result, typename Body>
Result Guarded(const char* entryPoint, Result fallback, Body body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        ReportFailure(entryPoint, e.what());
    } catch (...) {
        ReportFailure(entryPoint, "an unknown error");
    }
    return fallback;
}

}  // namespace

extern "C" {

// The host's flag; the plug-in only has to export it, zero at load time, and never touches it.
[[gnu::visibility("default")]] std::int32_t g_bVovSinusoidalMode = 0;

[[gnu::visibility("default")]] int EditSetup(CMC_Setup* setup) {
    // Leaving the dialog any other way than by OK is no OK.
    return Guarded("EditSetup", 0, [setup] { return pelmora::RunEditSetup(setup); });
}

[[gnu::visibility("default")]] void ComputeAllOptions(CMC_Setup* setup) {
    if (!setup) return;
    Guarded("ComputeAllOptions", 0, [setup] {
        pelmora::ComputeAll(*setup);
        return 0;
    });
}

[[gnu::visibility("default")]] double GetScaleFactor(CMC_Setup* setup, const char* unit, const char* name) {
    if (!setup) return 1.0;
    return Guarded("GetScaleFactor", 1.0, [=] { return pelmora::ScaleFactor(*setup, unit, name); });
}

[[gnu::visibility("default")]] double GetScaleOffset(CMC_Setup* setup, const char* unit) {
    if (!setup) return 0.0;
    return Guarded("GetScaleOffset", 0.0, [=] { return pelmora::ScaleOffset(*setup, unit); });
}

}  // extern "C"
