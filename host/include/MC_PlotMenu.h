// The host's plot menu: what a right click over a graph offers when the dialog showing it asks
// for it. Picking an entry sends its command to the dialog as a click would.
#pragma once

#include "MC_Dialog.h"

#include <string_view>

inline constexpr int ID_PLOT_SCOPE_SETTINGS = 10062;
inline constexpr int ID_PLOT_DEFAULT_SETTINGS = 10063;
inline constexpr int ID_PLOT_AUTOSCALE = 10064;
inline constexpr int ID_PLOT_LOAD_SETTINGS = 10065;
inline constexpr int ID_PLOT_SAVE_SETTINGS = 10066;
inline constexpr int ID_PLOT_SAVE_PLOTS = 10067;
inline constexpr int ID_PLOT_PICTURE = 10068;
inline constexpr int ID_PLOT_TEXT_EXPORT = 10069;

struct PlotMenuEntry {
    int command;
    std::string_view text;
};
// The entries this host offers, in the order the menu shows them.
inline constexpr PlotMenuEntry kPlotMenu[] = {
    {ID_PLOT_SCOPE_SETTINGS, "Scope settings..."}, {ID_PLOT_DEFAULT_SETTINGS, "Default settings"},
    {ID_PLOT_AUTOSCALE, "Autoscale"},              {ID_PLOT_LOAD_SETTINGS, "Load settings..."},
    {ID_PLOT_SAVE_SETTINGS, "Save settings..."},   {ID_PLOT_SAVE_PLOTS, "Save plots"},
    {ID_PLOT_PICTURE, "Picture"},                  {ID_PLOT_TEXT_EXPORT, "Export as text"},
};

// A dialog whose graphs offer the plot menu.
class PlotMenuOwner {
public:
    virtual ~PlotMenuOwner() = default;
    // Whether a right click over control `id` opens the menu.
    virtual bool WantsPlotMenu(int id) const = 0;
};

// What a user does: right-clicks control `id` of `dialog` and picks `command`. False (nothing
// done) when no menu opens there.
inline bool UserPlotMenu(CDialog& dialog, int id, int command) {
    const auto* owner = dynamic_cast<const PlotMenuOwner*>(&dialog);
    if (!owner || !owner->WantsPlotMenu(id)) return false;
    dialog.OnCommand(command);
    return true;
}
