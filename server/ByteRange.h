#pragma once

#include <cstdint>
#include <string_view>

namespace tolvane::server {

// The bytes of a file a Range header asks for.
struct ByteRange {
    enum class Kind {
        Whole,         // no header, or one that is ignored (ill-formed, several ranges)
        Part,          // [first, last] of the file
        Unsatisfiable, // starts at or past the end
    };
    Kind kind = Kind::Whole;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

// Reads a Range header (RFC 9110 14.2) for a file of `size` bytes: one
// "bytes=first-last", "bytes=first-" or "bytes=-suffix" range. A last byte past
// the end means the end; a suffix counts back from it. Several ranges are not
// served: the whole file goes out instead.
ByteRange fitRange(std::string_view header, std::uint64_t size);

} // namespace tolvane::server
