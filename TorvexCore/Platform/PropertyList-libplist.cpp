#include "Platform/PropertyList.h"

#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

namespace torvex {

std::optional<std::string> readPropertyListString(const std::filesystem::path& file, const std::string& key) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) return std::nullopt;

    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (root == nullptr) return std::nullopt;
    const std::unique_ptr<void, void (*)(plist_t)> owner(root, plist_free);
    if (plist_get_node_type(root) != PLIST_DICT) return std::nullopt;

    plist_t node = plist_dict_get_item(root, key.c_str());
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    char* value = nullptr;
    plist_get_string_val(node, &value);
    if (value == nullptr) return std::string();
    std::string result(value);
    std::free(value);
    return result;
}

} // namespace torvex
