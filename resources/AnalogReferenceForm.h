// Form of the external reference setup dialog: how an external device commands the drive.
#pragma once

#include "MC_Dialog.h"

namespace pelmora {

enum AnalogReferenceControl : int {
    IDC_EXTREF_PICTURE = 1501,          // the reference characteristic, chosen at opening
    IDC_EXTREF_SOURCE_GROUP,            // holds the analogue/digital choice
    IDC_EXTREF_DIGITAL,
    IDC_EXTREF_ANALOGUE,
    IDC_EXTREF_DIGITAL_TYPE_GROUP,      // holds the two kinds of digital reference
    IDC_EXTREF_PULSE_DIRECTION,
    IDC_EXTREF_INCREMENTAL_ENCODER,
    IDC_EXTREF_RANGE_LOW,               // the ends of the analogue input range, set at opening
    IDC_EXTREF_RANGE_HIGH,
    IDC_EXTREF_MAX_LABEL,
    IDC_EXTREF_MAX_VALUE,
    IDC_EXTREF_MAX_UNIT,
    IDC_EXTREF_MIN_LABEL,
    IDC_EXTREF_MIN_VALUE,               // shown in the unit of the maximum
    IDC_EXTREF_DEADBAND_POINT_LABEL,
    IDC_EXTREF_DEADBAND_POINT_VALUE,
    IDC_EXTREF_DEADBAND_POINT_UNIT,
    IDC_EXTREF_DEADBAND_RANGE_LABEL,
    IDC_EXTREF_DEADBAND_RANGE_VALUE,    // shown in the unit of the dead band point
    IDC_EXTREF_USE_FILTER,
    IDC_EXTREF_FILTER_LABEL,
    IDC_EXTREF_FILTER_VALUE,
    IDC_EXTREF_FILTER_UNIT,
    IDC_EXTREF_GEAR_LABEL,
    IDC_EXTREF_SLAVE_LABEL,
    IDC_EXTREF_SLAVE_VALUE,
    IDC_EXTREF_SLAVE_NOTE,
    IDC_EXTREF_MASTER_LABEL,
    IDC_EXTREF_MASTER_VALUE,
    IDC_EXTREF_MASTER_NOTE,
    IDC_EXTREF_LIMIT_CHECK,             // its text follows the mode and the reference kind
    IDC_EXTREF_LIMIT1_VALUE,
    IDC_EXTREF_LIMIT1_UNIT,
    IDC_EXTREF_LIMIT2_VALUE,
    IDC_EXTREF_LIMIT2_UNIT,
    IDC_EXTREF_TEST,
};

extern const FormTemplate kAnalogReferenceForm;

}  // namespace pelmora
