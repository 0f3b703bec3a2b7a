#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvane::server {

// Builds one protocol reply: "item=<item>" followed by "&key=value" pairs in
// the order they are added. Every value is made safe for the client's
// scanner: never empty ("null" instead), never a raw '&', never text the
// client would mistake for one of its keys, cut on a character boundary.
class Reply {
  public:
    explicit Reply(std::string_view item);

    Reply& text(std::string_view key, std::string_view value, std::size_t maxBytes = 255);
    Reply& number(std::string_view key, long long value);
    // Ends the reply with a separator, as replies whose last field the client
    // matches as "key=%[^&]&" do.
    Reply& separator();

    const std::string& str() const { return reply_; }

    // `value` as it goes on the wire: ill-formed UTF-8 repaired, control
    // characters and runs of blanks made one blank, '&' spelled " and ", a
    // blank put before '=' when it follows a word character and between
    // "title"/"rssid" and a digit, cut to `maxBytes`; "null" when nothing is
    // left.
    static std::string clean(std::string_view value, std::size_t maxBytes);

  private:
    std::string reply_;
};

} // namespace tolvane::server
