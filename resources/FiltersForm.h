// The "Filters" form: the up to three biquad filters of the drive's slow loop, one group each.
#pragma once

#include "MC_Dialog.h"

#include <array>

namespace pelmora {

// The controls of one filter's group; filter n (0-based) adds n * kFiltersGroupStride.
enum FilterControl : int {
    IDC_FLT_GROUP = 4500,
    IDC_FLT_ON,
    IDC_FLT_TYPE_LABEL,
    IDC_FLT_TYPE,
    IDC_FLT_Q_LABEL,
    IDC_FLT_Q,
    IDC_FLT_F2,
    IDC_FLT_F2_UNIT,
    IDC_FLT_F1_LABEL,
    IDC_FLT_F1,
    IDC_FLT_F1_UNIT,
    IDC_FLT_LOCATION_LABEL,
    IDC_FLT_LOCATION,
};

inline constexpr int kFiltersGroupStride = 20;
inline constexpr int kFiltersFormFilterCount = 3;

// The id of control `control` in the group of filter `filter` (0, 1, 2).
constexpr int FilterControlId(int filter, FilterControl control) {
    return static_cast<int>(control) + filter * kFiltersGroupStride;
}

extern const FormTemplate kFiltersForm;

}  // namespace pelmora
