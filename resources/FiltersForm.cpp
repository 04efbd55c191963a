#include "FiltersForm.h"

#include <array>
#include <cstddef>

namespace pelmora {

namespace {

using K = ControlKind;

constexpr std::array<std::string_view, kFiltersFormFilterCount> kGroupTitles = {"Filter 1", "Filter 2", "Filter 3"};

// One filter's group. The second frequency comes right after the Q field: it takes the Q field's
// place when the filter is a lead-lag.
constexpr std::array<ControlTemplate, 13> FilterGroup(int filter) {
    const int group = FilterControlId(filter, IDC_FLT_GROUP);
    const auto id = [filter](FilterControl control) { return FilterControlId(filter, control); };
    return {{
        {group, K::GroupBox, kGroupTitles[static_cast<std::size_t>(filter)], 0},
        {id(IDC_FLT_ON), K::CheckBox, "Off", group},
        {id(IDC_FLT_TYPE_LABEL), K::StaticText, "Type", group},
        {id(IDC_FLT_TYPE), K::DropDownList, "", group},
        {id(IDC_FLT_Q_LABEL), K::StaticText, "Q", group},
        {id(IDC_FLT_Q), K::Edit, "", group},
        {id(IDC_FLT_F2), K::Edit, "", group},
        {id(IDC_FLT_F2_UNIT), K::UnitCombo, "", group},
        {id(IDC_FLT_F1_LABEL), K::StaticText, "Frequency", group},
        {id(IDC_FLT_F1), K::Edit, "", group},
        {id(IDC_FLT_F1_UNIT), K::UnitCombo, "", group},
        {id(IDC_FLT_LOCATION_LABEL), K::StaticText, "Location", group},
        {id(IDC_FLT_LOCATION), K::DropDownList, "", group},
    }};
}

constexpr auto BuildControls() {
    constexpr std::size_t kPerGroup = 13;
    std::array<ControlTemplate, kPerGroup * kFiltersFormFilterCount + 2> controls{};
    std::size_t next = 0;
    for (int filter = 0; filter < kFiltersFormFilterCount; ++filter) {
        for (const ControlTemplate& control : FilterGroup(filter)) controls[next++] = control;
    }
    controls[next++] = {IDOK, K::Button, "OK", 0};
    controls[next++] = {IDCANCEL, K::Button, "Cancel", 0};
    return controls;
}

constexpr auto kControls = BuildControls();

}  // namespace

const FormTemplate kFiltersForm{"Filters", kControls};

}  // namespace pelmora
