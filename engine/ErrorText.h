#pragma once

#include <array>
#include <cstdarg>
#include <map>
#include <mutex>
#include <thread>

namespace tolvane {

// The engine's last error text. Any thread may set it (a failing run from the
// decoding thread); each thread that asks for it gets a copy of its own, which
// stays as it is until that thread asks again. Both under one lock.
class ErrorText {
  public:
    static constexpr int kSize = 512;

    // Stores the formatted text, cut to kSize − 1 characters.
    void format(const char* format, va_list args);
    void set(const char* text);
    // The calling thread's copy of the text; empty when none could be made.
    const char* publish();

  private:
    std::mutex lock_;
    char text_[kSize] = {};
    std::map<std::thread::id, std::array<char, kSize>> published_;
};

} // namespace tolvane
