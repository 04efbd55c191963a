// `pelmora edit` in a window: the drive setup dialog through the Qt backend.
#pragma once

#include "Commands.h"

#include <string>
#include <vector>

// `edit [SETUP] [-o OUT]` without a script. On OK the setup is saved atomically to OUT, or back
// to SETUP; on Cancel nothing is written. Without a display it says so and fails.
int RunEditGui(const CommandContext& ctx, const std::vector<std::string>& args, const std::string& outPath);

// Whether a window can be opened: a Qt platform asked for by name, or an X11 or Wayland display.
bool HasDisplay();
