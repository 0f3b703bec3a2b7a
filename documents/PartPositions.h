#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tolvane {

// The part of each document read last, kept across runs so that reopening a
// document goes on where it stopped. A document is known by its absolute path
// with its size and modification time: cheap to tell without reading the
// file, and an edited file starts again from its first part.
//
// The file (by default $XDG_STATE_HOME/tolvane/positions, else
// ~/.local/state/tolvane/positions) holds one line per document,
// "PART SIZE MTIME_NS PATH", the newest last, at most kMaxDocuments of them.
// It is replaced whole at each save, never written in place. A file that is
// not of this form is ignored with a note and replaced at the next save.
class PartPositions {
  public:
    static constexpr size_t kMaxDocuments = 500;
    static constexpr size_t kMaxFileBytes = 1 << 20;

    struct Key {
        std::string path; // absolute, as given
        uintmax_t size = 0;
        int64_t mtimeNs = 0;
        bool operator==(const Key&) const = default;
    };

    // The key of the file at `path`; nothing when it cannot be looked at.
    static std::optional<Key> keyOf(const std::filesystem::path& path);

    static std::filesystem::path defaultFile();

    explicit PartPositions(std::filesystem::path file = defaultFile());

    // Reads the file; a missing file is an empty store. `note` says why a
    // file that was there was ignored.
    void load(std::string* note = nullptr);

    // The part index last recorded for `key`, or 0.
    size_t partOf(const Key& key) const;

    // Records `part` for `key` and saves the store; false with the reason.
    bool remember(const Key& key, size_t part, std::string* error = nullptr);

  private:
    struct Entry {
        Key key;
        size_t part = 0;
    };
    bool save(std::string* error) const;

    std::filesystem::path file_;
    std::vector<Entry> entries_; // oldest first
};

} // namespace tolvane
