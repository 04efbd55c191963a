#include "FiltersDialog.h"

#include "Decode.h"
#include "Encode.h"
#include "FeatureProbes.h"
#include "FiltersForm.h"
#include "Steps.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace pelmora {

namespace {

struct FilterNames {
    const char* on;
    const char* type;
    const char* q;
    const char* f1;
    const char* f2;
    const char* location;
};

constexpr std::array<FilterNames, kFiltersFormFilterCount> kFilterNames = {{
    {"BQFilter1", "BQFilterType1", "BQFilterQ1", "BQFilterF11", "BQFilterF21", "BQFilterLocation1"},
    {"BQFilter2", "BQFilterType2", "BQFilterQ2", "BQFilterF12", "BQFilterF22", "BQFilterLocation2"},
    {"BQFilter3", "BQFilterType3", "BQFilterQ3", "BQFilterF13", "BQFilterF23", "BQFilterLocation3"},
}};

struct Location {
    std::string_view name;
    long number;
};

constexpr std::array<Location, 3> kLocations = {{
    {"Position Controller Output", 0},
    {"Speed Controller Output", 1},
    {"Speed Feedback", 2},
}};

const FilterNames& Names(int filter) { return kFilterNames[static_cast<std::size_t>(filter)]; }

int Id(int filter, FilterControl control) { return FilterControlId(filter, control); }

int Whole(const CMC_Setup& setup, const char* name) {
    const CMC_Parameter* parameter = FindOptional(setup, name);
    return parameter ? Truncate(parameter->GetValueInBaseUnit()) : 0;
}

bool IsLeadLag(int type) { return type == BiquadFilterChain::kLeadLag1 || type == BiquadFilterChain::kLeadLag2; }

}  // namespace

CFiltersDialog::CFiltersDialog(CMC_Setup* setup, bool locked)
    : CMySetupDlg(setup, kFiltersForm, nullptr), m_locked(locked) {
    constexpr int kCount = kFiltersFormFilterCount;
    for (int n = 0; n < kCount; ++n) AddSwitchParameterControls(Names(n).location, Id(n, IDC_FLT_LOCATION));
    for (int n = 0; n < kCount; ++n) AddCheckParameterControls(Names(n).on, Id(n, IDC_FLT_ON));
    for (int n = 0; n < kCount; ++n) AddSwitchParameterControls(Names(n).type, Id(n, IDC_FLT_TYPE));
    for (int n = 0; n < kCount; ++n) AddParameterControls(Names(n).q, Id(n, IDC_FLT_Q));
    for (int n = 0; n < kCount; ++n) AddParameterControls(Names(n).f1, Id(n, IDC_FLT_F1), Id(n, IDC_FLT_F1_UNIT));
    for (int n = 0; n < kCount; ++n) AddParameterControls(Names(n).f2, Id(n, IDC_FLT_F2), Id(n, IDC_FLT_F2_UNIT));
}

bool CFiltersDialog::OnInitDialog() {
    const bool result = CMySetupDlg::OnInitDialog();
    const std::vector<BiquadFilterType> types = m_chain.ListFilterTypes();
    for (int n = 0; n < kFiltersFormFilterCount; ++n) {
        ClearItems(Id(n, IDC_FLT_TYPE));
        for (const BiquadFilterType& type : types) AddItem(Id(n, IDC_FLT_TYPE), type.name, type.number);
        ClearItems(Id(n, IDC_FLT_LOCATION));
        for (const Location& location : kLocations) AddItem(Id(n, IDC_FLT_LOCATION), location.name, location.number);
    }
    // The lists had no entries when the values were first shown.
    for (int n = 0; n < kFiltersFormFilterCount; ++n) {
        RefreshParameterControls(Names(n).type);
        RefreshParameterControls(Names(n).location);
    }
    RefreshAllParameters(0);
    ApplyRules();
    return result;
}

void CFiltersDialog::DoDataExchange(bool toControls) {
    CMySetupDlg::DoDataExchange(toControls);
    if (!toControls) return;
    for (int n = 0; n < kFiltersFormFilterCount; ++n) ApplyFilterRules(n);
}

void CFiltersDialog::ApplyFilterRules(int n) {
    const CMC_Setup& setup = *GetSetup();
    const FilterNames& names = Names(n);
    const bool on = Whole(setup, names.on) != 0;
    const int type = Whole(setup, names.type);

    RefreshParameterControls(names.q);

    EnableChildren({Id(n, IDC_FLT_GROUP), Id(n, IDC_FLT_TYPE_LABEL), Id(n, IDC_FLT_TYPE), Id(n, IDC_FLT_F1_LABEL),
                    Id(n, IDC_FLT_F1), Id(n, IDC_FLT_F1_UNIT), Id(n, IDC_FLT_F2), Id(n, IDC_FLT_F2_UNIT)},
                   on);

    EnableChildren({Id(n, IDC_FLT_LOCATION_LABEL), Id(n, IDC_FLT_LOCATION)}, on && !m_locked);
    EnableChild(Id(n, IDC_FLT_ON), !m_locked);
    SetChildText(Id(n, IDC_FLT_ON), on ? "On" : "Off");

    // A first-order low pass has no Q.
    EnableChildren({Id(n, IDC_FLT_Q_LABEL), Id(n, IDC_FLT_Q)}, on && type != BiquadFilterChain::kLowPass1);

    const bool leadLag = IsLeadLag(type);
    SetChildText(Id(n, IDC_FLT_Q_LABEL), leadLag ? "Lag Frequency" : "Q");
    SetChildText(Id(n, IDC_FLT_F1_LABEL), leadLag ? "Lead Frequency" : "Frequency");
    ShowChildren({Id(n, IDC_FLT_F2), Id(n, IDC_FLT_F2_UNIT)}, leadLag);
    ShowChild(Id(n, IDC_FLT_Q), !leadLag);
}

bool CFiltersDialog::OnUserClick(int id) {
    const bool handled = CMySetupDlg::OnUserClick(id);
    for (int n = 0; n < kFiltersFormFilterCount; ++n) {
        if (id == Id(n, IDC_FLT_ON)) ApplyRules();
    }
    return handled;
}

bool CFiltersDialog::OnUserSelect(int id, int index) {
    const bool handled = CMySetupDlg::OnUserSelect(id, index);
    for (int n = 0; n < kFiltersFormFilterCount; ++n) {
        if (id == Id(n, IDC_FLT_TYPE) || id == Id(n, IDC_FLT_LOCATION)) ApplyRules();
    }
    return handled;
}

int OpenFiltersDialog(CMC_Setup& setup, bool testRunning) {
    if (!HasBiquadFilters(setup)) return IDCANCEL;
    UpdateRegistersFromParameters(setup);
    UpdateParametersFromRegisters(setup);
    int result = IDCANCEL;
    {
        CFiltersDialog dialog(&setup, testRunning);
        result = dialog.DoModal();
    }
    if (result != IDOK) return result;
    UpdateRegistersFromParameters(setup);
    UpdateParametersFromRegisters(setup);
    if (testRunning) BiquadFilterChain().WriteBiquadChain(setup);
    return result;
}

}  // namespace pelmora
