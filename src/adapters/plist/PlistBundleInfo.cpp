#include "adapters/plist/PlistBundleInfo.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <utility>

namespace zandorin::adapters {
namespace {

constexpr std::size_t kMaxPlistBytes = 1 << 20;

// No XML document holds a NUL. libplist 2.2 still reads one inside a string, or inside a key or
// string of a binary file (UTF-16), and then aborts when asked for that text. Its XML writer goes
// by length, so what it writes of the parsed file holds every such NUL.
bool holdsNul(std::string_view contents, plist_t root) {
    if (!plist_is_binary(contents.data(), static_cast<uint32_t>(contents.size())) &&
        contents.find('\0') != std::string_view::npos) {
        return true;
    }
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    const bool nul = !xml || std::memchr(xml, '\0', length) != nullptr;
    plist_to_xml_free(xml);
    return nul;
}

// The contents of a regular file of at most kMaxPlistBytes, or nothing and why. Opening never
// blocks (a FIFO would hold the start until someone writes to it), and nothing else is read.
std::optional<std::string> readSmallFile(const std::string& path, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        why = "cannot read " + path;
        return std::nullopt;
    }
    std::optional<std::string> contents;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = path + " is not a regular file";
    } else if (static_cast<std::uintmax_t>(info.st_size) > kMaxPlistBytes) {
        why = path + " is too large";
    } else {
        // One byte beyond the limit, so that a file that grew since is still found too large.
        std::string data(kMaxPlistBytes + 1, '\0');
        std::size_t size = 0;
        ssize_t got = 0;
        while (size < data.size()) {
            got = ::read(fd, data.data() + size, data.size() - size);
            if (got > 0) {
                size += static_cast<std::size_t>(got);
            } else if (got == 0 || errno != EINTR) {
                break;
            }
        }
        if (got < 0) {
            why = "cannot read " + path;
        } else {
            data.resize(size);
            contents = std::move(data);
        }
    }
    ::close(fd);
    return contents;
}

std::string executableDirectory() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.parent_path().string();
}

}  // namespace

std::vector<PlistBundleInfo::Place> PlistBundleInfo::searchPath(
    const std::function<const char*(const char*)>& variable,
    const std::string& executableDirectory) {
    // Relative directories in the XDG variables are invalid and ignored.
    const auto absolute = [](const char* path) { return path != nullptr && path[0] == '/'; };
    const std::filesystem::path relative = std::filesystem::path("zandorin-auth") / "Info.plist";
    std::vector<Place> places;
    if (const char* named = variable(pathVariable); named && *named) {
        places.push_back({named, true});
    }
    if (const char* home = variable("XDG_CONFIG_HOME"); absolute(home)) {
        places.push_back({(home / relative).string()});
    } else if (const char* user = variable("HOME"); absolute(user)) {
        places.push_back({(std::filesystem::path(user) / ".config" / relative).string()});
    }
    bool anyDirectory = false;
    const char* dirs = variable("XDG_CONFIG_DIRS");
    for (std::string_view rest = dirs ? dirs : ""; !rest.empty();) {
        const auto end = rest.find(':');
        const std::string directory(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        if (absolute(directory.c_str())) {
            places.push_back({(directory / relative).string()});
            anyDirectory = true;
        }
    }
    if (!anyDirectory) {
        places.push_back({("/etc/xdg" / relative).string()});
    }
    // Never relative to the working directory when the executable's own is unknown.
    if (absolute(executableDirectory.c_str())) {
        const std::filesystem::path bin(executableDirectory);
        places.push_back({(bin.parent_path() / "share" / relative).string()});
        places.push_back({(bin / "Info.plist").string()});
    }
    return places;
}

PlistBundleInfo PlistBundleInfo::locate(const std::vector<Place>& places, const Report& report,
                                        const Validator& validate) {
    for (const auto& place : places) {
        std::error_code error;
        if (!place.named && !std::filesystem::exists(place.path, error)) {
            continue;
        }
        PlistBundleInfo info(place.path);
        if (!info.loadError_ && validate) {
            if (const auto refused = validate(info)) {
                info.loadError_ = place.path + ": " + *refused;
            }
        }
        if (!info.loadError_) {
            return info;
        }
        report(*info.loadError_);
    }
    PlistBundleInfo none;
    none.loadError_ = "no readable Info.plist";
    return none;
}

PlistBundleInfo PlistBundleInfo::locate(const Report& report, const Validator& validate) {
    return locate(
        searchPath([](const char* name) { return std::getenv(name); }, executableDirectory()),
        report, validate);
}

PlistBundleInfo::PlistBundleInfo(const std::string& path) {
    std::string why;
    if (const auto contents = readSmallFile(path, why)) {
        load(*contents, path);
    } else {
        loadError_ = why;
    }
}

PlistBundleInfo::PlistBundleInfo(std::string_view contents, const std::string& name) {
    load(contents, name);
}

void PlistBundleInfo::load(std::string_view contents, const std::string& name) {
    if (contents.size() > kMaxPlistBytes) {
        loadError_ = name + " is too large";
        return;
    }
    plist_t root = nullptr;
    plist_from_memory(contents.data(), static_cast<uint32_t>(contents.size()), &root);
    const std::unique_ptr<void, decltype(&plist_free)> owner(root, &plist_free);
    if (!root || plist_get_node_type(root) != PLIST_DICT) {
        loadError_ = name + " holds no property-list dictionary";
        return;
    }
    if (holdsNul(contents, root)) {
        loadError_ = name + " holds a NUL character";
        return;
    }
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(root, &iter);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root, iter, &key, &value);
        if (!key) {
            break;
        }
        uint64_t length = 0;
        if (const char* text = plist_get_string_ptr(value, &length)) {
            strings_.emplace(key, std::string(text, length));
        }
        std::free(key);
    }
    std::free(iter);
}

std::optional<std::string> PlistBundleInfo::stringValue(const std::string& key) const {
    const auto it = strings_.find(key);
    if (it == strings_.end()) {
        return std::nullopt;
    }
    return it->second;
}

}  // namespace zandorin::adapters
