#include "MC_ScopeSettingsDlg.h"

#include "MC_Setup.h"
#include "MC_Units.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace {

using K = ControlKind;

constexpr int kWindowControls = 6;
constexpr int kTriggerControls = 11;
constexpr int kChannelControls = 6;
constexpr int kButtons = 2;
constexpr std::size_t kControlCount =
    kWindowControls + kTriggerControls + kChannelControls * CScopeSettingsDlg::kMaxChannels + kButtons;

constexpr std::array<ControlTemplate, kControlCount> MakeControls() {
    std::array<ControlTemplate, kControlCount> c{};
    std::size_t i = 0;
    constexpr int w = IDC_SCOPE_WINDOW_GROUP;
    c[i++] = Control(w, K::GroupBox, "Window");
    c[i++] = Control(IDC_SCOPE_WINDOW_LABEL, K::StaticText, "&Window", w);
    c[i++] = Control(IDC_SCOPE_WINDOW, K::Edit, {}, w);
    c[i++] = Control(IDC_SCOPE_WINDOW_UNIT, K::StaticText, "(s)", w);
    c[i++] = Control(IDC_SCOPE_MODE_LABEL, K::StaticText, "&Mode", w);
    c[i++] = Control(IDC_SCOPE_MODE, K::DropDownList, {}, w);
    constexpr int t = IDC_SCOPE_TRIGGER_GROUP;
    c[i++] = Control(t, K::GroupBox, "Trigger");
    c[i++] = Control(IDC_SCOPE_TRIGGER_LABEL, K::StaticText, "&Variable", t);
    c[i++] = Control(IDC_SCOPE_TRIGGER, K::DropDownList, {}, t);
    c[i++] = Control(IDC_SCOPE_SLOPE_LABEL, K::StaticText, "&Slope", t);
    c[i++] = Control(IDC_SCOPE_SLOPE, K::DropDownList, {}, t);
    c[i++] = Control(IDC_SCOPE_LEVEL_LABEL, K::StaticText, "&Level", t);
    c[i++] = Control(IDC_SCOPE_LEVEL, K::Edit, {}, t);
    c[i++] = Control(IDC_SCOPE_LEVEL_UNIT, K::StaticText, "(IU)", t);
    c[i++] = Control(IDC_SCOPE_PRETRIGGER_LABEL, K::StaticText, "&Pre-trigger", t);
    c[i++] = Control(IDC_SCOPE_PRETRIGGER, K::Edit, {}, t);
    c[i++] = Control(IDC_SCOPE_PRETRIGGER_UNIT, K::StaticText, "(%)", t);
    for (int k = 0; k < CScopeSettingsDlg::kMaxChannels; ++k) {
        const int g = CScopeSettingsDlg::ChannelControl(IDC_SCOPE_CHANNEL_GROUP, k);
        // The box is titled with the variable's name when the dialog opens.
        c[i++] = Control(g, K::GroupBox, {});
        c[i++] = Control(CScopeSettingsDlg::ChannelControl(IDC_SCOPE_CHANNEL_STEP_LABEL, k), K::StaticText,
                         "Per division", g);
        c[i++] = Control(CScopeSettingsDlg::ChannelControl(IDC_SCOPE_CHANNEL_STEP, k), K::Edit, {}, g);
        c[i++] = Control(CScopeSettingsDlg::ChannelControl(IDC_SCOPE_CHANNEL_UNIT, k), K::UnitCombo, {}, g);
        c[i++] = Control(CScopeSettingsDlg::ChannelControl(IDC_SCOPE_CHANNEL_OFFSET_LABEL, k), K::StaticText,
                         "Offset", g);
        c[i++] = Control(CScopeSettingsDlg::ChannelControl(IDC_SCOPE_CHANNEL_OFFSET, k), K::Edit, {}, g);
    }
    c[i++] = Control(IDOK, K::Button, "OK");
    c[i++] = Control(IDCANCEL, K::Button, "Cancel");
    return c;
}

constexpr std::array kControls = MakeControls();

constexpr std::array<CMC_ScopeLogger::Mode, 3> kModes = {
    CMC_ScopeLogger::Mode::FreeRunning, CMC_ScopeLogger::Mode::Rearming, CMC_ScopeLogger::Mode::SingleShot};
constexpr std::array<int, 2> kSlopes = {1, 0};

// The shortest text that reads back as the same number.
std::string Shown(double value) {
    std::array<char, 32> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
    return std::string(text.data(), result.ptr);
}

// A value in `unit` of `quantity` from its base value; empty where the unit gives no conversion.
std::optional<double> FromBase(const CMC_Quantity& quantity, const CMC_Unit& unit, double base) {
    double zero = 0.0;
    double one = 0.0;
    // Every unit is affine in the base unit: base = zero + value·(one − zero).
    if (!quantity.ToBase(0.0, unit, zero) || !quantity.ToBase(1.0, unit, one) || one == zero) return std::nullopt;
    const double value = (base - zero) / (one - zero);
    return std::isfinite(value) ? std::optional(value) : std::nullopt;
}

// The size of a difference (a division) in the base unit.
std::optional<double> DifferenceToBase(const CMC_Quantity& quantity, const CMC_Unit& unit, double value) {
    double zero = 0.0;
    double at = 0.0;
    if (!quantity.ToBase(0.0, unit, zero) || !quantity.ToBase(value, unit, at)) return std::nullopt;
    return at - zero;
}

std::optional<double> DifferenceFromBase(const CMC_Quantity& quantity, const CMC_Unit& unit, double base) {
    const auto zero = FromBase(quantity, unit, 0.0);
    const auto at = FromBase(quantity, unit, base);
    if (!zero || !at) return std::nullopt;
    return *at - *zero;
}

}  // namespace

const FormTemplate kScopeSettingsForm{"Scope settings", kControls};

CScopeSettingsDlg::CScopeSettingsDlg(CMC_ScopeLogger& scope) : CDialog(kScopeSettingsForm), m_scope(scope) {}

const CMC_Variable* CScopeSettingsDlg::ChannelVariable(int channel) const {
    const CMC_Setup* setup = m_scope.GetSetup();
    if (!setup || channel < 0 || static_cast<std::size_t>(channel) >= m_before.channels.size()) return nullptr;
    return setup->FindVariable(m_before.channels[static_cast<std::size_t>(channel)].name, 1);
}

const CMC_Variable* CScopeSettingsDlg::TriggerVariable() const {
    const int selection = GetSelection(IDC_SCOPE_TRIGGER);
    const CMC_Setup* setup = m_scope.GetSetup();
    if (selection <= 0 || !setup) return nullptr;
    return setup->FindVariable(GetControl(IDC_SCOPE_TRIGGER)->items[static_cast<std::size_t>(selection)].first, 1);
}

void CScopeSettingsDlg::ShowLevelUnit() {
    const CMC_Variable* trigger = TriggerVariable();
    SetChildText(IDC_SCOPE_LEVEL_UNIT, trigger ? "(" + std::string(trigger->GetUnitName()) + ")" : "");
}

bool CScopeSettingsDlg::OnInitDialog() {
    m_before = m_scope.GetSettings();
    SetChildText(IDC_SCOPE_WINDOW, Shown(m_before.window_s));

    ClearItems(IDC_SCOPE_MODE);
    for (std::size_t i = 0; i < kModes.size(); ++i) {
        AddItem(IDC_SCOPE_MODE, kScopeModeTexts[i], static_cast<long>(kModes[i]));
        if (kModes[i] == m_before.mode) SetSelection(IDC_SCOPE_MODE, static_cast<int>(i));
    }
    ClearItems(IDC_SCOPE_SLOPE);
    for (const char* text : kScopeSlopeTexts) AddItem(IDC_SCOPE_SLOPE, text, 0);
    SetSelection(IDC_SCOPE_SLOPE, m_before.slope != 0 ? 0 : 1);

    // The plotted variables, and the trigger variable where it is none of them.
    ClearItems(IDC_SCOPE_TRIGGER);
    AddItem(IDC_SCOPE_TRIGGER, kScopeNoTrigger, -1);
    SetSelection(IDC_SCOPE_TRIGGER, 0);
    for (const CMC_ScopeLogger::Settings::Channel& channel : m_before.channels) AddItem(IDC_SCOPE_TRIGGER, channel.name, 0);
    if (!m_before.trigger.empty()) {
        const auto& items = GetControl(IDC_SCOPE_TRIGGER)->items;
        const auto found = std::find_if(items.begin(), items.end(),
                                        [&](const auto& item) { return EqualsNoCase(item.first, m_before.trigger); });
        if (found == items.end()) AddItem(IDC_SCOPE_TRIGGER, m_before.trigger, 0);
        const auto& now = GetControl(IDC_SCOPE_TRIGGER)->items;
        for (std::size_t i = 1; i < now.size(); ++i) {
            if (EqualsNoCase(now[i].first, m_before.trigger)) SetSelection(IDC_SCOPE_TRIGGER, static_cast<int>(i));
        }
    }
    ShowLevelUnit();
    const CMC_Variable* trigger = TriggerVariable();
    const auto level = trigger ? FromBase(*trigger, trigger->GetUnit(), m_before.level) : std::optional(m_before.level);
    SetChildText(IDC_SCOPE_LEVEL, Shown(level.value_or(m_before.level)));
    SetChildText(IDC_SCOPE_PRETRIGGER, Shown(m_before.pretrigger_pct));

    for (int k = 0; k < kMaxChannels; ++k) FillChannel(k);
    return CDialog::OnInitDialog();
}

void CScopeSettingsDlg::FillChannel(int channel) {
    const bool shown = static_cast<std::size_t>(channel) < m_before.channels.size();
    for (int id = IDC_SCOPE_CHANNEL_GROUP; id <= IDC_SCOPE_CHANNEL_OFFSET; ++id) ShowChild(ChannelControl(id, channel), shown);
    if (!shown) return;
    const CMC_ScopeLogger::Settings::Channel& settings = m_before.channels[static_cast<std::size_t>(channel)];
    SetChildText(ChannelControl(IDC_SCOPE_CHANNEL_GROUP, channel), settings.name);
    SetChildText(ChannelControl(IDC_SCOPE_CHANNEL_STEP, channel), Shown(settings.scale.step));
    SetChildText(ChannelControl(IDC_SCOPE_CHANNEL_OFFSET, channel), Shown(settings.scale.offset));

    const int list = ChannelControl(IDC_SCOPE_CHANNEL_UNIT, channel);
    ClearItems(list);
    const CMC_Variable* variable = ChannelVariable(channel);
    const CMC_Units& units = CMC_Units::Instance();
    // A unit the variable's kind does not offer (saved by hand) is kept as it was written.
    if (!settings.scale.unit.empty() && (!variable || !units.FindUnit(variable->GetUnitType(), settings.scale.unit)))
        AddItem(list, settings.scale.unit, 0);
    if (variable) {
        for (const CMC_Unit& unit : units.DisplayUnits(variable->GetUnitType())) AddItem(list, unit.GetName(), 0);
    }
    int selection = 0;
    const auto& items = GetControl(list)->items;
    const std::string wanted = !settings.scale.unit.empty() ? settings.scale.unit
                               : variable ? std::string(settings.inUnits ? units.BaseUnit(variable->GetUnitType()).GetName()
                                                                         : kInternalUnitName)
                                          : std::string();
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (EqualsNoCase(items[i].first, wanted)) {
            selection = static_cast<int>(i);
            break;
        }
    }
    SetSelection(list, selection);
    m_unitFirst[static_cast<std::size_t>(channel)] = selection;
    m_unitShown[static_cast<std::size_t>(channel)] = selection;
}

void CScopeSettingsDlg::DoDataExchange(bool toControls) {
    CDialog::DoDataExchange(toControls);
    if (!toControls) return;
    const int mode = GetSelection(IDC_SCOPE_MODE);
    const bool triggered = mode > 0;
    EnableChildren({IDC_SCOPE_TRIGGER, IDC_SCOPE_SLOPE, IDC_SCOPE_LEVEL, IDC_SCOPE_PRETRIGGER}, triggered);
}

void CScopeSettingsDlg::OnSelChange(int id) {
    if (id == IDC_SCOPE_MODE) {
        UpdateData(false);
        return;
    }
    if (id == IDC_SCOPE_TRIGGER) {
        ShowLevelUnit();
        return;
    }
    for (int k = 0; k < kMaxChannels; ++k) {
        if (id == ChannelControl(IDC_SCOPE_CHANNEL_UNIT, k)) ConvertChannelUnit(k);
    }
}

void CScopeSettingsDlg::ConvertChannelUnit(int channel) {
    const auto index = static_cast<std::size_t>(channel);
    const int list = ChannelControl(IDC_SCOPE_CHANNEL_UNIT, channel);
    const int selection = GetSelection(list);
    const int previous = std::exchange(m_unitShown[index], selection);
    const CMC_Variable* variable = ChannelVariable(channel);
    const auto& items = GetControl(list)->items;
    if (!variable || selection < 0 || previous < 0 || selection == previous) return;
    const CMC_Units& units = CMC_Units::Instance();
    const CMC_Unit* from = units.FindUnit(variable->GetUnitType(), items[static_cast<std::size_t>(previous)].first);
    const CMC_Unit* to = units.FindUnit(variable->GetUnitType(), items[static_cast<std::size_t>(selection)].first);
    // A unit written by hand has no known relation to the others: the numbers stay.
    if (!from || !to) return;
    const int stepId = ChannelControl(IDC_SCOPE_CHANNEL_STEP, channel);
    const int offsetId = ChannelControl(IDC_SCOPE_CHANNEL_OFFSET, channel);
    const TypedQuantityResult step = ParseTypedQuantity(GetChildText(stepId));
    const TypedQuantityResult offset = ParseTypedQuantity(GetChildText(offsetId));
    // Text that is not a plain number is left for OK to refuse.
    if (step.quantity && step.quantity->unit.empty()) {
        const auto base = DifferenceToBase(*variable, *from, step.quantity->value);
        if (const auto value = base ? DifferenceFromBase(*variable, *to, *base) : std::nullopt)
            SetChildText(stepId, Shown(*value));
    }
    if (offset.quantity && offset.quantity->unit.empty()) {
        double base = 0.0;
        if (!variable->ToBase(offset.quantity->value, *from, base)) return;
        if (const auto value = FromBase(*variable, *to, base)) SetChildText(offsetId, Shown(*value));
    }
}

std::string CScopeSettingsDlg::FieldName(const CMC_ScopeLogger::SettingsFault& fault) const {
    using F = CMC_ScopeLogger::SettingsField;
    const std::string channel = fault.channel >= 0 && static_cast<std::size_t>(fault.channel) < m_before.channels.size()
                                    ? m_before.channels[static_cast<std::size_t>(fault.channel)].name
                                    : std::string("Channel");
    switch (fault.field) {
    case F::Window: return "Window";
    case F::Mode: return "Mode";
    case F::Slope: return "Slope";
    case F::Trigger: return "Trigger variable";
    case F::Level: return "Level";
    case F::Pretrigger: return "Pre-trigger";
    case F::ChannelName: return channel;
    case F::ChannelStep: return channel + ", per division";
    case F::ChannelOffset: return channel + ", offset";
    }
    return "A field";
}

std::optional<CMC_ScopeLogger::Settings> CScopeSettingsDlg::ReadForm(std::string& message) const {
    using F = CMC_ScopeLogger::SettingsField;
    CMC_ScopeLogger::Settings settings = m_before;
    // A number typed into field `id`, optionally followed by `unit` (the only one it takes).
    auto number = [&](int id, F field, int channel, std::string_view unit) -> std::optional<double> {
        const std::string text = GetChildText(id);
        const TypedQuantityResult parsed = ParseTypedQuantity(text);
        const std::string where = FieldName({field, channel, {}});
        if (!parsed.quantity) {
            message = where + ": \"" + text + "\" is not a number";
            return std::nullopt;
        }
        if (!parsed.quantity->unit.empty() && !EqualsNoCase(parsed.quantity->unit, unit)) {
            message = where + ": give the value in " + (unit.empty() ? std::string("plain numbers") : std::string(unit));
            return std::nullopt;
        }
        if (!std::isfinite(parsed.quantity->value)) {
            message = where + ": \"" + text + "\" is not a finite number";
            return std::nullopt;
        }
        return parsed.quantity->value;
    };

    const auto window = number(IDC_SCOPE_WINDOW, F::Window, -1, "s");
    if (!window) return std::nullopt;
    if (GetChildText(IDC_SCOPE_WINDOW) != Shown(m_before.window_s)) settings.window_s = *window;
    const int mode = GetSelection(IDC_SCOPE_MODE);
    settings.mode = kModes[static_cast<std::size_t>(std::clamp(mode, 0, static_cast<int>(kModes.size()) - 1))];
    if (settings.mode == CMC_ScopeLogger::Mode::FreeRunning) {
        // A free-running window has no trigger; what the disabled fields hold is not asked for.
        settings.trigger.clear();
    } else {
        const int trigger = GetSelection(IDC_SCOPE_TRIGGER);
        settings.trigger = trigger > 0 ? GetControl(IDC_SCOPE_TRIGGER)->items[static_cast<std::size_t>(trigger)].first : "";
        settings.slope = kSlopes[static_cast<std::size_t>(std::clamp(GetSelection(IDC_SCOPE_SLOPE), 0, 1))];
        const CMC_Variable* variable = TriggerVariable();
        const std::string unit = variable ? variable->GetUnitName() : "";
        const auto level = number(IDC_SCOPE_LEVEL, F::Level, -1, unit);
        if (!level) return std::nullopt;
        const auto shownBefore = variable ? FromBase(*variable, variable->GetUnit(), m_before.level) : std::optional(m_before.level);
        const bool untouched = EqualsNoCase(settings.trigger, m_before.trigger) &&
                               GetChildText(IDC_SCOPE_LEVEL) == Shown(shownBefore.value_or(m_before.level));
        if (!untouched) {
            double base = *level;
            if (variable && !variable->ToBase(*level, variable->GetUnit(), base)) {
                message = "Level: cannot be converted from " + unit + " for " + settings.trigger;
                return std::nullopt;
            }
            settings.level = base;
        }
        const auto pretrigger = number(IDC_SCOPE_PRETRIGGER, F::Pretrigger, -1, "%");
        if (!pretrigger) return std::nullopt;
        if (GetChildText(IDC_SCOPE_PRETRIGGER) != Shown(m_before.pretrigger_pct)) settings.pretrigger_pct = *pretrigger;
    }

    const std::size_t rows = std::min<std::size_t>(settings.channels.size(), kMaxChannels);
    for (std::size_t k = 0; k < rows; ++k) {
        const int channel = static_cast<int>(k);
        CMC_ScopeLogger::ChannelScale& scale = settings.channels[k].scale;
        const int list = ChannelControl(IDC_SCOPE_CHANNEL_UNIT, channel);
        const int selection = GetSelection(list);
        if (selection != m_unitFirst[k] && selection >= 0)
            scale.unit = GetControl(list)->items[static_cast<std::size_t>(selection)].first;
        const auto step = number(ChannelControl(IDC_SCOPE_CHANNEL_STEP, channel), F::ChannelStep, channel, scale.unit);
        if (!step) return std::nullopt;
        if (GetChildText(ChannelControl(IDC_SCOPE_CHANNEL_STEP, channel)) != Shown(m_before.channels[k].scale.step))
            scale.step = *step;
        const auto offset = number(ChannelControl(IDC_SCOPE_CHANNEL_OFFSET, channel), F::ChannelOffset, channel, scale.unit);
        if (!offset) return std::nullopt;
        if (GetChildText(ChannelControl(IDC_SCOPE_CHANNEL_OFFSET, channel)) != Shown(m_before.channels[k].scale.offset))
            scale.offset = *offset;
    }

    if (const auto fault = m_scope.CheckSettings(settings)) {
        message = FieldName(*fault) + ": " + fault->why;
        return std::nullopt;
    }
    return settings;
}

void CScopeSettingsDlg::OnOK() {
    std::string message;
    const auto settings = ReadForm(message);
    if (!settings) {
        MessageBox(message, GetCaption(), MessageBoxKind::Warning);
        return;
    }
    m_changed = !(*settings == m_before);
    if (m_changed) {
        CMC_ScopeLogger::SettingsFault fault{};
        if (!m_scope.ApplySettings(*settings, &fault)) {
            MessageBox(FieldName(fault) + ": " + fault.why, GetCaption(), MessageBoxKind::Warning);
            m_changed = false;
            return;
        }
    }
    EndDialog(IDOK);
}
