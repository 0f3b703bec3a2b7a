#pragma once

#include <string_view>

namespace tolvane {

// How the client names itself in the requests that carry clienttype and
// clientver; the service keeps these values.
inline constexpr std::string_view kClientType = "win32C++";
inline constexpr std::string_view kClientVersion = "tolvane23";

} // namespace tolvane
