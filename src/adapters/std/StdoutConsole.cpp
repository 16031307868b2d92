#include "adapters/std/StdoutConsole.h"

#include <unistd.h>

#include <cerrno>

namespace zandorin::adapters {

void StdoutConsole::writeLine(const std::string& line) {
    // One write per line, so lines from several threads never interleave.
    std::string text = line;
    text.push_back('\n');
    std::lock_guard lock(mutex_);
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // a closed stdout is not the application's problem
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace zandorin::adapters
