// Arbitrary documents through the speech server's feed reader, and each item
// through the value cleaning of news replies: the values must stay non-empty,
// '&'-free, well-formed UTF-8 within the client's field sizes.
#include "server/FeedParser.h"
#include "server/HtmlText.h"
#include "server/Reply.h"
#include "server/Utf8.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(const std::string& text, std::size_t maxBytes) {
    const std::string value = tolvane::server::Reply::clean(text, maxBytes);
    if (value.empty() || value.size() > maxBytes || value.find('&') != std::string::npos ||
        !tolvane::server::isValidUtf8(value)) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::vector<tolvane::server::FeedItem> items;
    std::string error;
    if (tolvane::server::parseFeed(bytes, 50, items, error)) {
        for (const auto& item : items) {
            check(item.title, 255);
            check(item.description, 511);
            check(item.time, 255);
        }
    }
    check(tolvane::server::htmlToText(bytes), 511);
    return 0;
}
