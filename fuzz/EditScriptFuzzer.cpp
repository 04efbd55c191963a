// Any bytes as an edit script: the parser accepts them or says which line is wrong.
#include "FuzzCheck.h"
#include "HeadlessScript.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    HeadlessScript script;
    if (script.Parse(std::string_view(reinterpret_cast<const char*>(data), size))) {
        FuzzCheck(script.Succeeded(), "an accepted script has no error");
    } else {
        FuzzCheck(script.Error().rfind("line ", 0) == 0, "a refused script names its line");
    }
    return 0;
}
