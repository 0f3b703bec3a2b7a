#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::server {

// One news item as plain text (not yet cut to the reply's limits).
struct FeedItem {
    std::string title;
    std::string description;
    std::string time;
};

// Each text of an item is kept to this many bytes (cut between characters):
// well past what a news reply carries (255 and 511), so a feed holds at most
// this much per item whatever its source sends.
constexpr std::size_t kItemTextBytes = 2048;

// Reads RSS 2.0 (and 0.9x), RSS 1.0 and Atom documents with libxml2. Items
// keep document order; items with neither title nor description are left out;
// at most `maxItems` are kept. Documents that declare entities are refused, as
// are malformed ones, with libxml2's message and line.
bool parseFeed(std::string_view xml, std::size_t maxItems, std::vector<FeedItem>& items,
               std::string& error);

} // namespace tolvane::server
