#pragma once

#include <cstdint>
#include <string>

namespace tolvane {

// One news feed the user may have read aloud, in reply order. Texts hold at
// most 255 UTF-16 units.
struct FeedEntry {
    int32_t rssid = 0; // sent back as rss_id with a news-item request
    std::u16string title;
    int32_t priority = 0;
    std::u16string time;
};

} // namespace tolvane
