#pragma once

#include <string>

namespace zandorin::platform {

// Structured system log, default level.
class SystemLog {
public:
    virtual ~SystemLog() = default;
    virtual void write(const std::string& subsystem, const std::string& category,
                       const std::string& message) = 0;
};

}  // namespace zandorin::platform
