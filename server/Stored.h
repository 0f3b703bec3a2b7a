#pragma once

#include <optional>
#include <utility>

namespace tolvane::server {

// What a table answers when it may live in a store outside the process: the
// value, nothing (unknown, expired or refused, as the operation says), or
// that the store could not be asked, which is no answer about the value.
template <typename T> class Stored : public std::optional<T> {
  public:
    using std::optional<T>::optional;
    Stored(std::optional<T> value) : std::optional<T>(std::move(value)) {}

    static Stored unreachable() {
        Stored result;
        result.unreachable_ = true;
        return result;
    }

    // The store could not be asked; the value is then absent.
    bool storeDown() const { return unreachable_; }

  private:
    bool unreachable_ = false;
};

} // namespace tolvane::server
