#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/BundleInfo.h"

namespace zandorin::adapters {

// The Info.plist, read once with libplist (XML or binary). Only string values are kept.
class PlistBundleInfo final : public platform::BundleInfo {
public:
    static constexpr const char* pathVariable = "ZANDORIN_AUTH_INFO_PLIST";

    // The file named by ZANDORIN_AUTH_INFO_PLIST, else the Info.plist beside the executable,
    // else the installed one under ../share/zandorin-auth.
    static std::string locate();

    explicit PlistBundleInfo(const std::string& path);
    // The same from the file's contents; `name` stands for the file in loadError().
    PlistBundleInfo(std::string_view contents, const std::string& name);

    std::optional<std::string> stringValue(const std::string& key) const override;

    // Why the file gave no dictionary, or nothing when it did.
    const std::optional<std::string>& loadError() const { return loadError_; }

private:
    void load(std::string_view contents, const std::string& name);

    std::map<std::string, std::string> strings_;
    std::optional<std::string> loadError_;
};

}  // namespace zandorin::adapters
