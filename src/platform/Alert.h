#pragma once

#include <string>

namespace zandorin::platform {

struct AlertContent {
    std::string messageText;
    std::string informativeText;
};

// A modal alert with the platform's single default button; main thread only.
class Alerts {
public:
    virtual ~Alerts() = default;
    virtual void runModal(const AlertContent& alert) = 0;
};

}  // namespace zandorin::platform
