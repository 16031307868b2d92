#include "adapters/plist/PlistBundleInfo.h"

#include <plist/plist.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

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

std::filesystem::path executableDirectory() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self.parent_path();
}

}  // namespace

std::string PlistBundleInfo::locate() {
    if (const char* configured = std::getenv(pathVariable); configured && *configured) {
        return configured;
    }
    const auto directory = executableDirectory();
    const auto beside = directory / "Info.plist";
    std::error_code error;
    if (std::filesystem::exists(beside, error)) {
        return beside.string();
    }
    return (directory.parent_path() / "share" / "zandorin-auth" / "Info.plist").string();
}

PlistBundleInfo::PlistBundleInfo(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        loadError_ = "cannot read " + path;
        return;
    }
    std::string data;
    data.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    load(data, path);
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
