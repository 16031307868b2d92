#include "adapters/process/StdoutConsole.h"

#include <unistd.h>

#include "adapters/process/WriteAll.h"

namespace zandorin::adapters {

void StdoutConsole::writeLine(const std::string& line) {
    // One write per line, so lines from several threads never interleave.
    std::string text = line;
    text.push_back('\n');
    std::lock_guard lock(mutex_);
    writeAll(STDOUT_FILENO, text);
}

}  // namespace zandorin::adapters
