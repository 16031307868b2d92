#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/BundleInfo.h"

namespace zandorin::adapters {

// The Info.plist, read once with libplist (XML or binary). Only string values are kept.
class PlistBundleInfo final : public platform::BundleInfo {
public:
    static constexpr const char* pathVariable = "ZANDORIN_AUTH_INFO_PLIST";

    struct Place {
        std::string path;
        bool named = false;  // named by the user, so its absence is worth a word too
    };

    // Where the Info.plist is looked for, first to last: the file ZANDORIN_AUTH_INFO_PLIST
    // names; zandorin-auth/Info.plist in $XDG_CONFIG_HOME (default ~/.config), then in each of
    // $XDG_CONFIG_DIRS (default /etc/xdg); the installed ../share/zandorin-auth/Info.plist;
    // the copy beside the executable (a build tree). `variable` reads the environment.
    static std::vector<Place> searchPath(const std::function<const char*(const char*)>& variable,
                                         const std::string& executableDirectory);

    // Why a dictionary that was read cannot be used, or nothing when it can.
    using Validator = std::function<std::optional<std::string>(const platform::BundleInfo&)>;
    using Report = std::function<void(const std::string&)>;

    // The first of `places` that holds a dictionary `validate` accepts. Each one that exists
    // but cannot be read or is refused goes to `report` with the reason, and the search goes
    // on: a broken file must not send the user to the built-in addresses without a word.
    static PlistBundleInfo locate(const std::vector<Place>& places, const Report& report,
                                  const Validator& validate = {});
    // The same over this process's environment and executable.
    static PlistBundleInfo locate(const Report& report, const Validator& validate = {});

    // Only a regular file within the size limit is read; anything else (a directory, a pipe, a
    // device) is unreadable, and opening never blocks.
    explicit PlistBundleInfo(const std::string& path);
    // The same from the file's contents; `name` stands for the file in loadError().
    PlistBundleInfo(std::string_view contents, const std::string& name);

    std::optional<std::string> stringValue(const std::string& key) const override;

    // Why the file gave no dictionary, or nothing when it did.
    const std::optional<std::string>& loadError() const { return loadError_; }

private:
    PlistBundleInfo() = default;
    void load(std::string_view contents, const std::string& name);

    std::map<std::string, std::string> strings_;
    std::optional<std::string> loadError_;
};

}  // namespace zandorin::adapters
