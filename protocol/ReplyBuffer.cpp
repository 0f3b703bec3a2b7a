#include "protocol/ReplyBuffer.h"

#include <cstring>

namespace tolvane {

size_t ReplyBuffer::append(char* chunk, size_t itemSize, size_t itemCount, void* user) {
    auto& buffer = *static_cast<ReplyBuffer*>(user);
    if (!buffer.started) {
        buffer.size = 2;
        buffer.data.clear();
        buffer.started = true;
    }
    if (itemSize != 0 && itemCount > kMaxBytes / itemSize) {
        buffer.overflowed = true;
        return 0;
    }
    const size_t length = itemSize * itemCount;
    if (length > kMaxBytes - buffer.data.size()) {
        buffer.overflowed = true;
        return 0;
    }
    buffer.data.append(chunk, length);
    buffer.size += static_cast<int32_t>(length);
    return length;
}

std::string_view ReplyBuffer::text() const {
    const std::string_view all(data);
    return all.substr(0, all.find('\0'));
}

} // namespace tolvane
