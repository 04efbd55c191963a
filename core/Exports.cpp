// The plug-in's entry points, found by the host by name. Nothing else leaves the library.
#include "BaseQuantities.h"
#include "DriveSetupDlg.h"
#include "Options.h"

#include "MC_Setup.h"

#include <cstdint>

extern "C" {

// The host's flag; the plug-in only has to export it, zero at load time, and never touches it.
[[gnu::visibility("default")]] std::int32_t g_bVovSinusoidalMode = 0;

[[gnu::visibility("default")]] int EditSetup(CMC_Setup* setup) {
    return pelmora::RunEditSetup(setup);
}

[[gnu::visibility("default")]] void ComputeAllOptions(CMC_Setup* setup) {
    if (!setup) return;
    pelmora::ComputeAll(*setup);
}

[[gnu::visibility("default")]] double GetScaleFactor(CMC_Setup* setup, const char* unit, const char* name) {
    return setup ? pelmora::ScaleFactor(*setup, unit, name) : 1.0;
}

[[gnu::visibility("default")]] double GetScaleOffset(CMC_Setup* setup, const char* unit) {
    return setup ? pelmora::ScaleOffset(*setup, unit) : 0.0;
}

}  // extern "C"
