#include "engine/ErrorText.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace tolvane {

void ErrorText::format(const char* format, va_list args) {
    std::lock_guard lock(lock_);
    // vsnprintf cuts the text and terminates it.
    std::vsnprintf(text_, sizeof text_, format, args);
}

void ErrorText::set(const char* text) {
    std::lock_guard lock(lock_);
    std::snprintf(text_, sizeof text_, "%s", text);
}

const char* ErrorText::publish() {
    std::lock_guard lock(lock_);
    try {
        auto& copy = published_[std::this_thread::get_id()];
        std::memcpy(copy.data(), text_, sizeof text_);
        return copy.data();
    } catch (const std::bad_alloc&) {
        return "";
    }
}

} // namespace tolvane
