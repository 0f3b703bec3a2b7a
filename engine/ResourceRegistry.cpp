#include "engine/ResourceRegistry.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <new>
#include <tuple>

namespace tolvane {

namespace {

using Key = std::tuple<const void*, std::string, std::string>;

std::string folded(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; });
    return out;
}

struct Table {
    std::mutex mutex;
    std::map<Key, ResourceRegistry::Bytes> entries;
};

Table& table() {
    static Table instance;
    return instance;
}

} // namespace

bool ResourceRegistry::add(const void* module, std::string_view name, std::string_view type,
                           const void* data, size_t size) {
    try {
        const auto* bytes = static_cast<const uint8_t*>(data);
        auto copy = std::make_shared<const std::vector<uint8_t>>(bytes, bytes + size);
        Table& t = table();
        std::lock_guard lock(t.mutex);
        t.entries[Key{module, folded(name), folded(type)}] = std::move(copy);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool ResourceRegistry::remove(const void* module, std::string_view name, std::string_view type) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    return t.entries.erase(Key{module, folded(name), folded(type)}) > 0;
}

ResourceRegistry::Bytes ResourceRegistry::find(const void* module, std::string_view name,
                                               std::string_view type) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    const auto it = t.entries.find(Key{module, folded(name), folded(type)});
    return it == t.entries.end() ? nullptr : it->second;
}

} // namespace tolvane
