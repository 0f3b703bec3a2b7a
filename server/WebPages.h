#pragma once

#include <span>
#include <string_view>

namespace tolvane::server {

// The few HTML pages the server answers GET with, so the client's home-page and
// feedback links lead somewhere: "/" and the feedback page of each interface
// language. UTF-8, served as text/html.
struct WebPage {
    std::string_view path; // exact request path
    std::string_view html;
};

std::span<const WebPage> webPages();

} // namespace tolvane::server
