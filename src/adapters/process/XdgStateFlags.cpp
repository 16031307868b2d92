#include "adapters/process/XdgStateFlags.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zandorin::adapters {

namespace {

bool absolute(const char* path) {
    return path != nullptr && path[0] == '/';
}

// Creates the last component only; its parents are the user's and exist on a real session.
bool privateDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0) {
        return true;
    }
    struct stat info {};
    return errno == EEXIST && ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid();
}

}  // namespace

XdgStateFlags::XdgStateFlags(const std::function<const char*(const char*)>& variable) {
    if (const char* state = variable("XDG_STATE_HOME"); absolute(state)) {
        directory_ = std::string(state) + "/zandorin-auth";
    } else if (const char* home = variable("HOME"); absolute(home)) {
        directory_ = std::string(home) + "/.local/state/zandorin-auth";
    }
}

bool XdgStateFlags::isSet(const std::string& name) const {
    struct stat info {};
    return !directory_.empty() && ::lstat((directory_ + "/" + name).c_str(), &info) == 0 &&
           S_ISREG(info.st_mode);
}

bool XdgStateFlags::set(const std::string& name, bool on) {
    if (directory_.empty()) {
        return false;
    }
    const std::string path = directory_ + "/" + name;
    if (!on) {
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    }
    const auto parent = directory_.substr(0, directory_.rfind('/'));
    ::mkdir(parent.c_str(), 0700);  // ~/.local/state may not exist yet
    if (!privateDirectory(directory_)) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace zandorin::adapters
