#pragma once

#include <string>

namespace zandorin::platform {

// Standard output, one whole line per call.
class Console {
public:
    virtual ~Console() = default;
    virtual void writeLine(const std::string& line) = 0;
};

}  // namespace zandorin::platform
