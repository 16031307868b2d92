#pragma once

#include <string_view>

namespace zandorin::adapters {

// Writes every byte to the descriptor in as few writes as the kernel allows; gives up quietly
// when the descriptor is closed, which is not the application's problem.
void writeAll(int fd, std::string_view bytes);

}  // namespace zandorin::adapters
