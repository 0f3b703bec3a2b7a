#pragma once

#include <string>

namespace tolvane::server {

// Unguessable identifiers from the kernel's random source.

// 32 lowercase hexadecimal digits (128 random bits): session tokens.
std::string randomToken();

// A random (version 4) UUID in its 36-character text form: job ids.
std::string randomUuid();

} // namespace tolvane::server
