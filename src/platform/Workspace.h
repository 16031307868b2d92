#pragma once

#include <string>

namespace zandorin::platform {

// Opens a URL with the desktop's default handler for its scheme; main thread only.
class Workspace {
public:
    virtual ~Workspace() = default;
    virtual bool open(const std::string& url) = 0;
};

}  // namespace zandorin::platform
