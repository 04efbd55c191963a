#include "TuningTestForm.h"

#include "FormParts.h"
#include "MC_TestDlg.h"

namespace pelmora {

namespace {

using K = ControlKind;

constexpr std::string_view kProcedurePlaceholder = "this text is set in source code";

constexpr TuningFormControls Build(const TuningFormText& t) {
    TuningFormControls form;
    const auto add = [&form](ControlTemplate control) { form.controls[form.count++] = control; };
    // The template's text names the bitmap it starts with; the dialog sets the picture it shows.
    const auto picture = [](int id, std::string_view text, int group) { return Control(id, K::Picture, text, group); };
    // A value with its unit list; rows of a gain: edit, spin, slider, spin.
    const auto gainRow = [&](int label, std::string_view text, int edit, int unit, int down, int slider, int up,
                             int group) {
        add(Control(label, K::StaticText, text, group));
        add(Control(edit, K::Edit, {}, group));
        if (unit != 0) add(Control(unit, K::UnitCombo, {}, group));
        add(Control(down, K::Spin, {}, group));
        add(Control(slider, K::Slider, {}, group));
        add(Control(up, K::Spin, {}, group));
    };
    const auto valueRow = [&](int label, std::string_view text, int edit, int unit, int group) {
        add(Control(label, K::StaticText, text, group));
        add(Control(edit, K::Edit, {}, group));
        if (unit != 0) add(Control(unit, K::UnitCombo, {}, group));
    };

    add(Control(IDC_TT_TABS, K::TabBar));
    // "Test Parameters".
    add(Control(IDC_TT_PURPOSE_GROUP, K::GroupBox, "Test purpose"));
    add(Control(IDC_TEST_PURPOSE, K::StaticText, t.purpose, IDC_TT_PURPOSE_GROUP));
    add(Control(IDC_TT_PROCEDURE_GROUP, K::GroupBox, "Test procedure"));
    add(Control(IDC_TT_PROCEDURE, K::StaticText, kProcedurePlaceholder, IDC_TT_PROCEDURE_GROUP));
    add(Control(IDC_TT_CURRENT_GROUP, K::GroupBox, "Current limits"));
    add(picture(IDC_TT_START_PICTURE, t.startPicture, IDC_TT_CURRENT_GROUP));
    valueRow(IDC_TT_LIMIT_LABEL, t.limitLabel, IDC_TT_LIMIT, IDC_TT_LIMIT_UNIT, IDC_TT_CURRENT_GROUP);
    valueRow(IDC_TT_PROTECTION_LABEL, "Over current protection", IDC_TT_PROTECTION, IDC_TT_PROTECTION_UNIT,
             IDC_TT_CURRENT_GROUP);
    valueRow(IDC_TT_START_CURRENT_LABEL, "Start current\n(% of nominal current)", IDC_TT_START_CURRENT,
             IDC_TT_START_CURRENT_UNIT, IDC_TT_CURRENT_GROUP);
    if (t.positionRows) {
        add(Control(IDC_TT_SPEED_LIMIT_GROUP, K::GroupBox, "Speed limit"));
        valueRow(IDC_TT_SPEED_LIMIT_LABEL, "Load speed limit", IDC_TT_SPEED_LIMIT, IDC_TT_SPEED_LIMIT_UNIT,
                 IDC_TT_SPEED_LIMIT_GROUP);
    }
    add(Control(IDC_TT_PROFILE_GROUP, K::GroupBox, t.profileGroup));
    add(picture(IDC_TT_REFERENCE_PICTURE, "#314", IDC_TT_PROFILE_GROUP));
    valueRow(t.amplitudeRow[0], t.amplitudeLabel, t.amplitudeRow[1], t.amplitudeRow[2], IDC_TT_PROFILE_GROUP);
    valueRow(IDC_TT_TAP_LABEL, "tap", IDC_TT_TAP, IDC_TT_TAP_UNIT, IDC_TT_PROFILE_GROUP);
    valueRow(IDC_TT_TP_LABEL, "tp", IDC_TT_TP, IDC_TT_TP_UNIT, IDC_TT_PROFILE_GROUP);
    valueRow(IDC_TT_TAN_LABEL, "tan", IDC_TT_TAN, IDC_TT_TAN_UNIT, IDC_TT_PROFILE_GROUP);
    valueRow(IDC_TT_TN_LABEL, "tn", IDC_TT_TN, IDC_TT_TN_UNIT, IDC_TT_PROFILE_GROUP);
    add(Control(IDC_TT_MULTI_CYCLE, K::CheckBox, "Multiple Cycle Movement", IDC_TT_PROFILE_GROUP));
    add(Control(IDC_TT_REFERENCE_LABEL, K::StaticText, "Reference type", IDC_TT_PROFILE_GROUP));
    add(Control(IDC_TT_POSITIVE, K::OptionButton, "Positive", IDC_TT_PROFILE_GROUP));
    add(Control(IDC_TT_NEGATIVE, K::OptionButton, "Negative", IDC_TT_PROFILE_GROUP));
    add(Control(IDC_TT_BIDIRECTIONAL, K::OptionButton, "Bidirectional", IDC_TT_PROFILE_GROUP));

    // "Test".
    add(Control(IDC_TT_TUNING_GROUP, K::GroupBox, "Tuning"));
    gainRow(IDC_TT_PASSBAND_LABEL, "Passband", IDC_TT_PASSBAND, IDC_TT_PASSBAND_UNIT, IDC_TT_PASSBAND_SPIN_DOWN,
            IDC_TT_PASSBAND_SLIDER, IDC_TT_PASSBAND_SPIN_UP, IDC_TT_TUNING_GROUP);
    gainRow(IDC_TT_RATIO_LABEL, "Mload / M", IDC_TT_RATIO, 0, IDC_TT_RATIO_SPIN_DOWN, IDC_TT_RATIO_SLIDER,
            IDC_TT_RATIO_SPIN_UP, IDC_TT_TUNING_GROUP);
    valueRow(IDC_TT_MASS_LABEL, "Total mass", IDC_TT_MASS_EDIT, IDC_TT_MASS_UNIT, IDC_TT_TUNING_GROUP);
    add(Control(t.identifyId, K::Button, "Identify", IDC_TT_TUNING_GROUP));
    add(Control(IDC_TT_TUNE, K::Button, "Tune", IDC_TT_TUNING_GROUP));
    add(Control(IDC_TT_FILTERS, K::Button, "Filters", IDC_TT_TUNING_GROUP));
    add(Control(IDC_TT_CONTROLLER_GROUP, K::GroupBox, t.controllerGroup));
    gainRow(IDC_TT_KP_LABEL, "Kp", IDC_TT_KP, 0, IDC_TT_KP_SPIN_DOWN, IDC_TT_KP_SLIDER, IDC_TT_KP_SPIN_UP,
            IDC_TT_CONTROLLER_GROUP);
    gainRow(IDC_TT_KI_LABEL, "Ki", IDC_TT_KI, 0, IDC_TT_KI_SPIN_DOWN, IDC_TT_KI_SLIDER, IDC_TT_KI_SPIN_UP,
            IDC_TT_CONTROLLER_GROUP);
    if (t.positionRows) {
        gainRow(IDC_TT_KD_LABEL, "Kd", IDC_TT_KD, 0, IDC_TT_KD_SPIN_DOWN, IDC_TT_KD_SLIDER, IDC_TT_KD_SPIN_UP,
                IDC_TT_CONTROLLER_GROUP);
        valueRow(IDC_TT_KD_FILTER_LABEL, "Kd filter (0...1)", IDC_TT_KD_FILTER, 0, IDC_TT_CONTROLLER_GROUP);
    }
    gainRow(IDC_TT_ILIM_LABEL, "Integral Limit", IDC_TT_ILIM, IDC_TT_ILIM_UNIT, IDC_TT_ILIM_SPIN_DOWN,
            IDC_TT_ILIM_SLIDER, IDC_TT_ILIM_SPIN_UP, IDC_TT_CONTROLLER_GROUP);
    add(Control(IDC_TT_FEEDFORWARD_GROUP, K::GroupBox, "Feedforward"));
    gainRow(IDC_TT_FFS_LABEL, "Speed", IDC_TT_FFS, 0, IDC_TT_FFS_SPIN_DOWN, IDC_TT_FFS_SLIDER, IDC_TT_FFS_SPIN_UP,
            IDC_TT_FEEDFORWARD_GROUP);
    gainRow(IDC_TT_FFA_LABEL, "Acceleration", IDC_TT_FFA, 0, IDC_TT_FFA_SPIN_DOWN, IDC_TT_FFA_SLIDER,
            IDC_TT_FFA_SPIN_UP, IDC_TT_FEEDFORWARD_GROUP);
    add(Control(IDC_TT_PLOT_GROUP, K::GroupBox, "Plot"));
    add(Control(IDC_TT_DATA_LOGGER, K::OptionButton, "Data logger", IDC_TT_PLOT_GROUP));
    add(Control(IDC_TT_ONLINE, K::OptionButton, "On-line plot", IDC_TT_PLOT_GROUP));
    add(Control(IDC_TT_GRAPH, K::Graph, "Graph"));
    add(Control(IDC_TT_SCOPE, K::Graph, "Oscilloscope"));
    add(Control(IDC_TT_FRAME_STATS, K::StaticText));
    add(Control(IDC_TT_REFERENCE_LEGEND, K::StaticText, "    "));
    add(Control(t.liveRows[0], K::StaticText, t.liveTexts[0]));
    add(Control(t.liveRows[1], K::StaticText, t.liveTexts[1]));
    add(Control(IDC_TT_RESPONSE_LEGEND, K::StaticText, "    "));
    add(Control(t.liveRows[2], K::StaticText, t.liveTexts[2]));
    add(Control(t.liveRows[3], K::StaticText, t.liveTexts[3]));
    // The bitmap buttons' images go by the names "PAUSE_" and "CONTINUE_".
    ControlTemplate pause = Control(IDC_TT_PAUSE, K::PictureButton, "Pause");
    pause.picture = "PAUSE_";
    add(pause);
    ControlTemplate resume = Control(IDC_TT_CONTINUE, K::PictureButton, "Continue");
    resume.picture = "CONTINUE_";
    add(resume);
    add(Control(IDC_TT_SAVE_PLOTS, K::Button, "S&ave Plots"));
    add(Control(IDC_TT_STATUS_GROUP, K::GroupBox, "Status"));
    add(Control(IDC_TEST_STATUS, K::StaticText, {}, IDC_TT_STATUS_GROUP));
    add(Control(IDC_TEST_START, K::Button, "&Start", IDC_TT_STATUS_GROUP));
    add(Control(IDC_TT_RESULT_GROUP, K::GroupBox, "Result"));
    add(picture(IDC_TEST_ICON, "#300", IDC_TT_RESULT_GROUP));
    add(Control(IDC_TEST_RESULT, K::StaticText, {}, IDC_TT_RESULT_GROUP));
    add(Control(IDC_TEST_DETAILS, K::Button, "&Details"));
    // Below both tabs.
    add(Control(IDOK, K::Button, "OK"));
    add(Control(IDCANCEL, K::Button, "Cancel"));
    add(Control(IDC_TEST_HELP, K::Button, "Help"));
    return form;
}

}  // namespace

TuningFormControls MakeTuningFormControls(const TuningFormText& text) { return Build(text); }

constexpr TuningFormText kSpeedText{
    "Speed Controller Tuning Test",
    "Checks speed controller response.",
    "Test speed profile",
    "Final speed",
    {IDC_TT_SPEED_LABEL, IDC_TT_SPEED, IDC_TT_SPEED_UNIT},
    "Drive current limit",
    "Speed controller parameters",
    {IDC_TT_SPEED_REF_LABEL, IDC_TT_SPEED_REF_VALUE, IDC_TT_LOAD_SPEED_LABEL, IDC_TT_LOAD_SPEED_VALUE},
    {"Speed reference: ", "Speed ref value", "Load speed:", "Load speed value"},
    "#308",
    IDC_TT_IDENTIFY_SPEED,
    false,
};

constexpr TuningFormText kPositionText{
    "Position Controller Tuning Test",
    "Checks position controller response.",
    "Test position profile",
    "Final position",
    {IDC_TT_POSITION_LABEL, IDC_TT_POSITION, IDC_TT_POSITION_UNIT},
    "Drive curent limit",
    "Position controller parameters",
    {IDC_TT_POSITION_REF_LABEL, IDC_TT_POSITION_REF_VALUE, IDC_TT_LOAD_POSITION_LABEL, IDC_TT_LOAD_POSITION_VALUE},
    {"Position reference: ", "Position ref value", "Load position:", "Load Position value"},
    "#309",
    IDC_TT_IDENTIFY_POSITION,
    true,
};

const TuningFormText kSpeedTuningText = kSpeedText;
const TuningFormText kPositionTuningText = kPositionText;

namespace {

constexpr TuningFormControls kSpeedControls = Build(kSpeedText);
constexpr TuningFormControls kPositionControls = Build(kPositionText);

}  // namespace

const FormTemplate kSpeedTuningForm{kSpeedText.caption,
                                    std::span(kSpeedControls.controls.data(), kSpeedControls.count)};
const FormTemplate kPositionTuningForm{kPositionText.caption,
                                       std::span(kPositionControls.controls.data(), kPositionControls.count)};

const std::array<int, 34> kSpeedTuningParametersTab = {
    10014, 10015, 1376, 1377, 1301, 1305, 1322, 3282, 3284, 3283, 3278, 3281, 3279, 1312, 1313, 1314, 1315,
    1316,  1317,  1318, 1326, 1327, 1328, 1329, 1330, 1331, 1319, 1320, 1321, 1323, 1332, 3285, 3287, 3286,
};

const std::array<int, 66> kSpeedTuningTestTab = {
    1333, 1334, 1335, 1336, 1337,  1338,  1339,  1340,  1341,  1342,  1343,  1347,  1348,  1349, 1344, 1345, 1346,
    1367, 1369, 1368, 1350, 1351,  1352,  1353,  1354,  1355,  1356,  1357,  1358,  1359,  1360, 1378, 1382, 1379,
    1380, 1381, 1383, 1384, 1387,  1385,  1386,  1388,  1389,  1390,  1361,  1362,  1363,  1364, 1365, 1366, 3331,
    3332, 1374, 10001, 10000, 1375, 10004, 10003, 10002, 10016, 10017, 1372, 3305, 3271, 3274, 3273,
};

const std::array<int, 17> kSpeedTuningLiveEditable = {
    1335, 1336, 1337, 1338, 1340, 1341, 1342, 1343, 1345, 1346, 1347, 1348, 1349, 1357, 1359, 1358, 1360,
};

const std::array<int, 41> kPositionTuningParametersTab = {
    10014, 10015, 1376, 1377, 1301, 1312, 1305, 1322, 3282, 3284, 3283, 3278, 3281, 3279,
    1313,  1314,  1315, 1316, 1317, 1318, 1326, 1327, 1328, 1329, 1330, 1331, 1500, 1501,
    1502,  1332,  3285, 3287, 3286, 3396, 1101, 1043, 1044, 3396, 1101, 1043, 1044,
};

const std::array<int, 73> kPositionTuningTestTab = {
    1333, 1334,  1335,  1337, 1336, 1338,  1339,  1340,  1342,  1341,  1343,  1507, 1508, 1510, 1509,
    1511, 1344,  1345,  1346, 1348, 1347,  1349,  1367,  1369,  1368,  1351,  1352, 1354, 1350, 1353,
    1355, 1358,  1360,  1356, 1357, 1359,  1378,  1379,  1382,  1380,  1381,  1383, 1384, 1385, 1387,
    1386, 1388,  1389,  1390, 1512, 1513,  1361,  1362,  1517,  1518,  1519,  1520, 3331, 3332, 1374,
    10001, 10000, 1375, 10004, 10003, 10002, 10016, 10017, 1372, 3305, 3271, 3274, 3306,
};

const std::array<int, 25> kPositionTuningLiveEditable = {
    1335, 1336, 1337, 1338, 1340, 1341, 1342, 1343, 1508, 1509, 1510, 1511, 1345,
    1346, 1347, 1348, 1349, 1352, 1354, 1357, 1359, 1353, 1355, 1358, 1360,
};

}  // namespace pelmora
