#pragma once

#include <functional>
#include <string>

#include "platform/StateFlags.h"

namespace zandorin::adapters {

// Each flag is an empty file in $XDG_STATE_HOME/zandorin-auth (default ~/.local/state). The
// directory is the user's own: created private, and a link planted in place of a flag is
// never followed. Without either variable no flag outlives the process.
class XdgStateFlags final : public platform::StateFlags {
public:
    // `variable` reads the environment.
    explicit XdgStateFlags(const std::function<const char*(const char*)>& variable);

    bool isSet(const std::string& name) const override;
    bool set(const std::string& name, bool on) override;

    const std::string& directory() const { return directory_; }

private:
    std::string directory_;  // empty: nowhere to keep them
};

}  // namespace zandorin::adapters
