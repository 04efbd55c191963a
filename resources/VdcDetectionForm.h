// The form of the supply voltage detection test.
#pragma once

#include "MC_Dialog.h"

namespace pelmora {

// Groups every test form has besides the host's controls.
inline constexpr int IDC_TEST_PURPOSE_GROUP = 10014;
inline constexpr int IDC_TEST_PROCEDURE_GROUP = 10016;
inline constexpr int IDC_TEST_STATUS_GROUP = 10017;
inline constexpr int IDC_TEST_RESULT_GROUP = 10018;

enum VdcDetectionControlId : int {
    IDC_VDC_PROCEDURE_1 = 1001,
    IDC_VDC_PROCEDURE_2,
    IDC_VDC_LABEL = 1011,
    IDC_VDC_VALUE = 1012,
    IDC_VDC_UNIT = 1013,
};

inline constexpr int kVdcDetectionTemplate = 105;
extern const FormTemplate kVdcDetectionForm;

}  // namespace pelmora
