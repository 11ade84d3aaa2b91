#include "Platform/PropertyList.h"

#include "Files.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace torvex {

std::optional<std::string> readPropertyListString(const std::filesystem::path& file, const std::string& key) {
    const auto read = readRegularFile(file);  // a FIFO there must not hang the version lookup
    if (!read || read->empty() || read->size() > UINT32_MAX) return std::nullopt;
    const std::string& bytes = *read;

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
