#pragma once

#include <string>
#include <vector>

#include "platform/MenuModel.h"

namespace zandorin::test {

// One line per menu item, compact enough to write whole layouts into a test table.
std::vector<std::string> describe(const platform::MenuModel& menu);

}  // namespace zandorin::test
