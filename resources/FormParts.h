// Building blocks for the forms' control tables.
#pragma once

#include "MC_Dialog.h"

#include <string_view>

namespace pelmora {

using ::Control;

}  // namespace pelmora
