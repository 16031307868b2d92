#include "adapters/plist/PlistBundleInfo.h"

#include <plist/plist.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

namespace zandorin::adapters {
namespace {

constexpr std::size_t kMaxPlistBytes = 1 << 20;

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
    if (data.size() > kMaxPlistBytes) {
        loadError_ = path + " is too large";
        return;
    }
    plist_t root = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    const std::unique_ptr<void, decltype(&plist_free)> owner(root, &plist_free);
    if (!root || plist_get_node_type(root) != PLIST_DICT) {
        loadError_ = path + " holds no property-list dictionary";
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
        if (value && plist_get_node_type(value) == PLIST_STRING) {
            char* text = nullptr;
            plist_get_string_val(value, &text);
            if (text) {
                strings_.emplace(key, text);
                std::free(text);
            }
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
