#pragma once

#include <optional>
#include <string>

namespace zandorin::platform {

// The application's Info.plist.
class BundleInfo {
public:
    virtual ~BundleInfo() = default;

    // The value of a key, only when the key holds a string.
    virtual std::optional<std::string> stringValue(const std::string& key) const = 0;
};

}  // namespace zandorin::platform
