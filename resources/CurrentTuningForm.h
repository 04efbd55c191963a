// The form of the current controller tuning test: a tab of test parameters and a tab where the
// controller is tuned and its step response plotted.
#pragma once

#include "MC_Dialog.h"

#include <array>

namespace pelmora {

enum CurrentTuningControlId : int {
    IDC_CT_TEST_CURRENT_LABEL = 1119,
    IDC_CT_TEST_CURRENT = 1120,
    IDC_CT_TEST_CURRENT_UNIT = 1121,
    IDC_CT_PROTECTION_LABEL = 1122,
    IDC_CT_PICTURE = 1123,
    IDC_CT_TABS = 1300,
    IDC_CT_PARAMETERS_GROUP = 1301,
    IDC_CT_PROTECTION = 1303,
    IDC_CT_PROTECTION_UNIT = 1304,
    IDC_CT_CONTROLLER_GROUP = 1333,
    IDC_CT_KP_LABEL = 1334,
    IDC_CT_KP = 1335,
    IDC_CT_KP_SPIN_DOWN = 1336,
    IDC_CT_KP_SLIDER = 1337,
    IDC_CT_KP_SPIN_UP = 1338,
    IDC_CT_KI_LABEL = 1339,
    IDC_CT_KI = 1340,
    IDC_CT_KI_SPIN_DOWN = 1341,
    IDC_CT_KI_SLIDER = 1342,
    IDC_CT_KI_SPIN_UP = 1343,
    IDC_CT_GRAPH = 1361,
    IDC_CT_SAVE_PLOTS = 1372,
    IDC_CT_STATUS_GROUP = 1374,
    IDC_CT_RESULT_GROUP = 1375,
    IDC_CT_PROCEDURE_GROUP = 1376,
    IDC_CT_PROCEDURE = 1377,
    IDC_CT_FILTER_GROUP = 3138,
    IDC_CT_FILTER_LABEL = 3139,
    IDC_CT_FILTER = 3140,
    IDC_CT_FILTER_UNIT = 3141,
    IDC_CT_USE_FILTER = 3142,
    IDC_CT_GRAVITY_GROUP = 3143,
    IDC_CT_OFFSET_UNIT = 3144,
    IDC_CT_OFFSET = 3145,
    IDC_CT_OFFSET_LABEL = 3146,
    IDC_CT_COMPENSATE = 3147,
    IDC_CT_TUNING_GROUP = 3148,
    IDC_CT_TUNE = 3149,
    IDC_CT_PASSBAND_LABEL = 3150,
    IDC_CT_PASSBAND_UNIT = 3151,
    IDC_CT_PASSBAND_SLIDER = 3152,
    IDC_CT_PASSBAND_SPIN_DOWN = 3153,
    IDC_CT_PASSBAND_SPIN_UP = 3154,
    IDC_CT_PASSBAND = 3155,
};

inline constexpr int kCurrentTuningTemplate = 101;
extern const FormTemplate kCurrentTuningForm;

// What each tab shows; the buttons below both tabs belong to neither.
extern const std::array<int, 12> kCurrentTuningParametersTab;
extern const std::array<int, 36> kCurrentTuningTestTab;

}  // namespace pelmora
