#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace tolvane {

// One text of a controller in both interface languages.
struct TextPair {
    std::u16string_view en;
    std::u16string_view zh;
};

// A controller's interface texts in the current language: the Chinese set for
// the language code "zh-CN", the English set for every other code (and before
// any is chosen). The interface thread chooses while a worker may be reading, so
// the choice is guarded and texts are handed out as copies.
template <size_t N> class LocalizedTexts {
  public:
    explicit LocalizedTexts(const std::array<TextPair, N>& table) : table_(table) {}

    void select(std::string_view language) {
        std::lock_guard lock(mutex_);
        chinese_ = language == "zh-CN";
    }

    std::u16string get(size_t slot) const {
        std::lock_guard lock(mutex_);
        return std::u16string(chinese_ ? table_[slot].zh : table_[slot].en);
    }

  private:
    const std::array<TextPair, N>& table_;
    mutable std::mutex mutex_;
    bool chinese_ = false;
};

} // namespace tolvane
