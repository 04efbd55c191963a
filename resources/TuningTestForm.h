// The form the speed and position tuning tests share: a "Test Parameters" tab (current limits and
// the reference profile) and a "Test" tab (tuning, the run and its plots). One description; what
// differs between the two tests (texts, the amplitude row, the position controller's extra rows)
// is data.
#pragma once

#include "MC_Dialog.h"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace pelmora {

enum TuningFormControlId : int {
    IDC_TT_TABS = 1300,
    IDC_TT_CURRENT_GROUP = 1301,
    IDC_TT_START_PICTURE = 1305,
    IDC_TT_PROFILE_GROUP = 1312,
    IDC_TT_TP_LABEL = 1313,
    IDC_TT_TP = 1314,
    IDC_TT_TP_UNIT = 1315,
    IDC_TT_TN_LABEL = 1316,
    IDC_TT_TN = 1317,
    IDC_TT_TN_UNIT = 1318,
    IDC_TT_SPEED_LABEL = 1319,
    IDC_TT_SPEED = 1320,
    IDC_TT_SPEED_UNIT = 1321,
    IDC_TT_REFERENCE_PICTURE = 1322,
    IDC_TT_REFERENCE_LABEL = 1323,
    IDC_TT_TAP_LABEL = 1326,
    IDC_TT_TAP = 1327,
    IDC_TT_TAP_UNIT = 1328,
    IDC_TT_TAN_LABEL = 1329,
    IDC_TT_TAN = 1330,
    IDC_TT_TAN_UNIT = 1331,
    IDC_TT_MULTI_CYCLE = 1332,
    IDC_TT_CONTROLLER_GROUP = 1333,
    IDC_TT_KP_LABEL = 1334,
    IDC_TT_KP = 1335,
    IDC_TT_KP_SPIN_DOWN = 1336,
    IDC_TT_KP_SLIDER = 1337,
    IDC_TT_KP_SPIN_UP = 1338,
    IDC_TT_KI_LABEL = 1339,
    IDC_TT_KI = 1340,
    IDC_TT_KI_SPIN_DOWN = 1341,
    IDC_TT_KI_SLIDER = 1342,
    IDC_TT_KI_SPIN_UP = 1343,
    IDC_TT_ILIM_LABEL = 1344,
    IDC_TT_ILIM = 1345,
    IDC_TT_ILIM_UNIT = 1346,
    IDC_TT_ILIM_SPIN_DOWN = 1347,
    IDC_TT_ILIM_SLIDER = 1348,
    IDC_TT_ILIM_SPIN_UP = 1349,
    IDC_TT_FEEDFORWARD_GROUP = 1350,
    IDC_TT_FFS_LABEL = 1351,
    IDC_TT_FFS = 1352,
    IDC_TT_FFS_SPIN_DOWN = 1353,
    IDC_TT_FFS_SLIDER = 1354,
    IDC_TT_FFS_SPIN_UP = 1355,
    IDC_TT_FFA_LABEL = 1356,
    IDC_TT_FFA = 1357,
    IDC_TT_FFA_SPIN_DOWN = 1358,
    IDC_TT_FFA_SLIDER = 1359,
    IDC_TT_FFA_SPIN_UP = 1360,
    IDC_TT_GRAPH = 1361,
    IDC_TT_SCOPE = 1362,
    IDC_TT_SPEED_REF_LABEL = 1363,
    IDC_TT_SPEED_REF_VALUE = 1364,
    IDC_TT_LOAD_SPEED_LABEL = 1365,
    IDC_TT_LOAD_SPEED_VALUE = 1366,
    IDC_TT_PLOT_GROUP = 1367,
    IDC_TT_DATA_LOGGER = 1368,
    IDC_TT_ONLINE = 1369,
    IDC_TT_FRAME_STATS = 1370,
    IDC_TT_SAVE_PLOTS = 1372,
    IDC_TT_STATUS_GROUP = 1374,
    IDC_TT_RESULT_GROUP = 1375,
    IDC_TT_PROCEDURE_GROUP = 1376,
    IDC_TT_PROCEDURE = 1377,
    IDC_TT_PASSBAND_LABEL = 1378,
    IDC_TT_PASSBAND = 1379,
    IDC_TT_PASSBAND_UNIT = 1380,
    IDC_TT_PASSBAND_SPIN_DOWN = 1381,
    IDC_TT_PASSBAND_SLIDER = 1382,
    IDC_TT_PASSBAND_SPIN_UP = 1383,
    IDC_TT_RATIO_LABEL = 1384,
    IDC_TT_RATIO = 1385,
    IDC_TT_RATIO_SPIN_DOWN = 1386,
    IDC_TT_RATIO_SLIDER = 1387,
    IDC_TT_RATIO_SPIN_UP = 1388,
    IDC_TT_TUNING_GROUP = 1389,
    IDC_TT_TUNE = 1390,
    IDC_TT_POSITION_LABEL = 1500,
    IDC_TT_POSITION = 1501,
    IDC_TT_POSITION_UNIT = 1502,
    IDC_TT_KD_LABEL = 1507,
    IDC_TT_KD = 1508,
    IDC_TT_KD_SPIN_DOWN = 1509,
    IDC_TT_KD_SLIDER = 1510,
    IDC_TT_KD_SPIN_UP = 1511,
    IDC_TT_KD_FILTER_LABEL = 1512,
    IDC_TT_KD_FILTER = 1513,
    IDC_TT_POSITION_REF_LABEL = 1517,
    IDC_TT_POSITION_REF_VALUE = 1518,
    IDC_TT_LOAD_POSITION_LABEL = 1519,
    IDC_TT_LOAD_POSITION_VALUE = 1520,
    IDC_TT_SPEED_LIMIT_LABEL = 1101,
    IDC_TT_SPEED_LIMIT = 1043,
    IDC_TT_SPEED_LIMIT_UNIT = 1044,
    IDC_TT_SPEED_LIMIT_GROUP = 3396,
    IDC_TT_MASS_EDIT = 3271,
    IDC_TT_IDENTIFY_SPEED = 3273,
    IDC_TT_MASS_UNIT = 3274,
    IDC_TT_PROTECTION_LABEL = 3278,
    IDC_TT_PROTECTION_UNIT = 3279,
    IDC_TT_PROTECTION = 3281,
    IDC_TT_LIMIT_LABEL = 3282,
    IDC_TT_LIMIT_UNIT = 3283,
    IDC_TT_LIMIT = 3284,
    IDC_TT_START_CURRENT_LABEL = 3285,
    IDC_TT_START_CURRENT_UNIT = 3286,
    IDC_TT_START_CURRENT = 3287,
    IDC_TT_MASS_LABEL = 3305,
    IDC_TT_IDENTIFY_POSITION = 3306,
    IDC_TT_REFERENCE_LEGEND = 3331,
    IDC_TT_RESPONSE_LEGEND = 3332,
    IDC_TT_FILTERS = 3510,
    IDC_TT_POSITIVE = 3528,
    IDC_TT_NEGATIVE = 3529,
    IDC_TT_BIDIRECTIONAL = 3530,
    IDC_TT_PURPOSE_GROUP = 10014,
    IDC_TT_PAUSE = 10016,
    IDC_TT_CONTINUE = 10017,
};

// What one tuning test's form says and has beyond the shared controls.
struct TuningFormText {
    std::string_view caption;
    std::string_view purpose;
    std::string_view profileGroup;
    std::string_view amplitudeLabel;
    std::array<int, 3> amplitudeRow;  // label, edit, unit list
    std::string_view limitLabel;
    std::string_view controllerGroup;
    std::array<int, 4> liveRows;      // reference label, value, response label, value
    std::array<std::string_view, 4> liveTexts;
    std::string_view startPicture;    // the template's text of the start-mode picture
    int identifyId;
    bool positionRows;                // Kd, its filter and the speed limit
};

inline constexpr std::size_t kTuningFormMaxControls = 140;

// The controls of a tuning form, in form order: the first `count` entries.
struct TuningFormControls {
    std::array<ControlTemplate, kTuningFormMaxControls> controls{};
    std::size_t count = 0;
};

TuningFormControls MakeTuningFormControls(const TuningFormText& text);

extern const TuningFormText kSpeedTuningText;
extern const TuningFormText kPositionTuningText;
extern const FormTemplate kSpeedTuningForm;
extern const FormTemplate kPositionTuningForm;

// The lists each tab shows, and the controls a run leaves editable in on-line plot mode.
extern const std::array<int, 34> kSpeedTuningParametersTab;
extern const std::array<int, 66> kSpeedTuningTestTab;
extern const std::array<int, 17> kSpeedTuningLiveEditable;
extern const std::array<int, 41> kPositionTuningParametersTab;
extern const std::array<int, 73> kPositionTuningTestTab;
extern const std::array<int, 25> kPositionTuningLiveEditable;

}  // namespace pelmora
