#pragma once

namespace zandorin::platform {

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

// The application object.
class Application {
public:
    virtual ~Application() = default;
    virtual void setActivationPolicy(ActivationPolicy policy) = 0;
    virtual void terminate() = 0;
};

}  // namespace zandorin::platform
