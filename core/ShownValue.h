// A parameter's value as a person would type it: quantisation noise of the drive's registers
// ("80.0046 %" for a start current typed as 80) is left out of what the user sees.
#pragma once

#include "MC_Setup.h"

#include <string>
#include <string_view>

namespace pelmora {

// Significant digits of a value field.
constexpr int kFieldDigits = 6;
// Significant digits of a listing: 15 hide the binary noise of a unit conversion (25 µs, not
// 25.000000000000004 µs) while keeping every digit a person could have typed.
constexpr int kListingDigits = 15;
// Enough significant digits to read back any double exactly.
constexpr int kExactDigits = 17;

// The value of `name` in its unit on show, with the fewest significant digits (at most
// `maxDigits`) that encode to the same registers as the value held: after the register pass and
// the recovery pass the parameter comes back as the same value. A value that no register
// quantises gets the fewest digits that read back as the same double, or `maxDigits` rounded
// when none does. Empty when the setup has no such parameter.
//
// Runs both passes on trial values and puts every parameter back exactly as it was, so the setup
// is unchanged on return; errors of missing parameters are not reported.
std::string ShownValueText(CMC_Setup& setup, std::string_view name, int maxDigits);

}  // namespace pelmora
