// Reading drive variables in internal units, for tests that compute with the drive's counts.
#pragma once

#include "MC_Setup.h"

#include <optional>
#include <string>

namespace pelmora {

// A drive variable's raw value, or why there is none: the host's internal error for a variable
// the setup does not declare or a value that is not a number, the link's text for a failed read.
struct DriveReading {
    std::optional<double> value;
    std::string error;
};
DriveReading ReadInternalValue(CMC_Setup* setup, const char* name);

}  // namespace pelmora
