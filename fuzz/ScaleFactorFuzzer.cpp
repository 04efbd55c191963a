// Any unit text and variable name (split at the first NUL byte) on the default setup: the scale
// factor and offset are finite numbers, and the factor is never zero.
#include "BaseQuantities.h"
#include "FuzzCheck.h"
#include "MC_SetupFile.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace {

CMC_Setup& DefaultSetup() {
    static const std::unique_ptr<CMC_Setup> setup = [] {
        SetupLoadResult loaded = LoadDefaultSetup();
        FuzzCheck(static_cast<bool>(loaded), "the default setup loads");
        pelmora::AttachCoreScales(*loaded.setup);
        return std::move(loaded.setup);
    }();
    return *setup;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string unit = input.substr(0, split);
    const std::string name = split == std::string::npos ? std::string() : input.substr(split + 1);
    CMC_Setup& setup = DefaultSetup();
    const double factor = pelmora::ScaleFactor(setup, unit.c_str(), name.c_str());
    const double offset = pelmora::ScaleOffset(setup, unit.c_str());
    FuzzCheck(std::isfinite(factor) && factor != 0.0, "the factor is finite and not zero");
    FuzzCheck(std::isfinite(offset), "the offset is finite");
    return 0;
}
