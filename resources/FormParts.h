// Building blocks for the forms' control tables.
#pragma once

#include "MC_Dialog.h"

#include <string_view>

namespace pelmora {

constexpr ControlTemplate Control(int id, ControlKind kind, std::string_view label = {}, int group = 0) {
    ControlTemplate control;
    control.id = id;
    control.kind = kind;
    control.label = label;
    control.group = group;
    return control;
}

}  // namespace pelmora
