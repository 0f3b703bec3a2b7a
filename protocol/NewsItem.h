#pragma once

#include <string>

namespace tolvane {

// One item of a news batch, in reply order: title and time hold at most 255
// UTF-16 units, the description at most 511. A value "null" arrives empty.
struct NewsItem {
    std::u16string title;
    std::u16string description;
    std::u16string time;
};

} // namespace tolvane
