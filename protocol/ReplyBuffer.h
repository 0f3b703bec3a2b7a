#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

// The reply of one transfer, collected in memory by libcurl's write function.
// `size` counts the bytes received plus 2 (the NUL and the first chunk's
// allocation); `started` turns true with the first chunk.
struct ReplyBuffer {
    // A reply beyond this many bytes is refused, which fails the transfer; the
    // largest real reply (a long feed list) is far smaller.
    static constexpr size_t kMaxBytes = 8u << 20;

    int32_t size = 0;
    std::string data;
    bool started = false;
    bool overflowed = false;

    // The libcurl write function; `user` is the ReplyBuffer. Returns the chunk
    // length, or 0 (aborting the transfer) once the reply would pass kMaxBytes.
    static size_t append(char* chunk, size_t itemSize, size_t itemCount, void* user);

    // The reply as it is parsed: up to its first NUL.
    std::string_view text() const;
};

} // namespace tolvane
