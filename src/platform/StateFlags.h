#pragma once

#include <string>

namespace zandorin::platform {

// Small facts that must outlive the process (a sign-out still to finish), kept in the user's
// own state directory. Names are plain words.
class StateFlags {
public:
    virtual ~StateFlags() = default;
    virtual bool isSet(const std::string& name) const = 0;
    // False when the fact could not be written (or removed); the caller carries on in memory.
    virtual bool set(const std::string& name, bool on) = 0;
};

}  // namespace zandorin::platform
