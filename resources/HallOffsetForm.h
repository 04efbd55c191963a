// The form of the linear Hall sensors' offset and gain detection test.
#pragma once

#include "VdcDetectionForm.h"

namespace pelmora {

enum HallOffsetControlId : int {
    IDC_HALL_TEST_CURRENT = 1005,
    IDC_HALL_TEST_CURRENT_UNIT = 1017,
    IDC_HALL_VALUE_1 = 1029,
    IDC_HALL_VALUE_2 = 1030,
    IDC_HALL_VALUE_3 = 1031,
    IDC_HALL_PROCEDURE_1 = 1040,
    IDC_HALL_PROCEDURE_2,
    IDC_HALL_PROCEDURE_3,
    IDC_HALL_PROCEDURE_4,
    IDC_HALL_PROCEDURE_5,
    IDC_HALL_PARAMETERS_GROUP = 1050,
    IDC_HALL_TEST_CURRENT_LABEL,
    IDC_HALL_TEST_CURRENT_NOTE,
    IDC_HALL_TRACE_1 = 3352,
    IDC_HALL_TRACE_2 = 3353,
    IDC_HALL_TRACE_3 = 3354,
    IDC_HALL_PICTURE_1 = 3355,
    IDC_HALL_PICTURE_3 = 3358,
    IDC_HALL_PICTURE_2 = 3359,
    IDC_HALL_TOP_MARK_1 = 3360,
    IDC_HALL_BOTTOM_MARK_1,
    IDC_HALL_TOP_MARK_2,
    IDC_HALL_BOTTOM_MARK_2,
    IDC_HALL_TOP_MARK_3,
    IDC_HALL_BOTTOM_MARK_3,
};

// The label pictures of the three traces: the words Lin Hall 1, 2, 3 on red, yellow and cyan.
inline constexpr const char* kPictureLinHall1 = "LIN_HALL_1";
inline constexpr const char* kPictureLinHall2 = "LIN_HALL_2";
inline constexpr const char* kPictureLinHall3 = "LIN_HALL_3";

inline constexpr int kHallOffsetTemplate = 294;
extern const FormTemplate kHallOffsetForm;

}  // namespace pelmora
