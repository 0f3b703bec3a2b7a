#pragma once

#include <cstdint>
#include <string>

namespace tolvane::say {

// One report as tolvane-say prints it: "MESSAGE/CODE" and, after a blank, the
// payload: a text in UTF-8, a number (the download percent, an HTTP status),
// or for 100/200 "PERCENT% BITRATE kbs HH:MM:SS/HH:MM:SS". Reports whose
// argument is always 0 have no payload.
std::string reportLine(uint32_t message, uint32_t code, intptr_t argument);

} // namespace tolvane::say
