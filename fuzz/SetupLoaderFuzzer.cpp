// Any bytes as a setup file: the loader either refuses them with a message that names the file,
// or gives a setup whose every value is finite and in its range, and that saves and reloads to
// the same text.
#include "FuzzCheck.h"
#include "MC_SetupFile.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const SetupLoadResult loaded = ParseSetup(text, "fuzz.json");
    if (!loaded) {
        FuzzCheck(loaded.error.rfind("fuzz.json: ", 0) == 0, "a refusal names the file");
        // The library's own wording starts "[json.exception."; the file's text may be quoted back.
        constexpr std::string_view kLibraryWording = "[json.exception.";
        FuzzCheck(loaded.error.find(kLibraryWording) == std::string::npos ||
                      text.find(kLibraryWording) != std::string_view::npos,
                  "a refusal is in our words");
        return 0;
    }
    for (const auto& p : loaded.setup->GetParameters()) {
        const double value = p->GetValueInBaseUnit();
        FuzzCheck(std::isfinite(value) && std::isfinite(p->GetMinInBaseUnit()) && std::isfinite(p->GetMaxInBaseUnit()),
                  "every value and bound is finite");
        FuzzCheck(p->GetMinInBaseUnit() <= value && value <= p->GetMaxInBaseUnit(), "every value is in its range");
    }
    const std::string saved = SetupToJson(*loaded.setup);
    const SetupLoadResult reloaded = ParseSetup(saved, "saved.json");
    FuzzCheck(static_cast<bool>(reloaded), "a loaded setup reloads once saved");
    FuzzCheck(SetupToJson(*reloaded.setup) == saved, "a saved setup reloads to the same text");
    return 0;
}
