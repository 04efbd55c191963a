#include "DriveReadings.h"

#include "MC_Comm.h"
#include "MC_TestDlg.h"

#include <cmath>

namespace pelmora {

DriveReading ReadInternalValue(CMC_Setup* setup, const char* name) {
    CMC_Variable* variable = setup ? setup->FindVariable(name, 1) : nullptr;
    if (!variable) return {std::nullopt, CMC_TestDlg::msc_pszErrInternal};
    if (!variable->ReadFromChip()) return {std::nullopt, CMC_Comm::GetLastErrorText()};
    const double value = variable->GetValueInInternalUnit();
    // The no-value marker or a broken conversion must not reach a formula as a count.
    if (!std::isfinite(value) || value == kNoValue) return {std::nullopt, CMC_TestDlg::msc_pszErrInternal};
    return {value, {}};
}

}  // namespace pelmora
