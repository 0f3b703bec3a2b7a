#include "documents/PartPositions.h"

#include "documents/FileBytes.h"
#include "platform/Paths.h"
#include "platform/ReplaceFile.h"
#include "platform/SystemText.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <sys/stat.h>

namespace tolvane {

namespace fs = std::filesystem;

namespace {

template <typename Number> bool parseNumber(std::string_view& line, Number& value) {
    const char* end = line.data() + line.size();
    const auto [last, ec] = std::from_chars(line.data(), end, value);
    if (ec != std::errc() || last == end || *last != ' ') {
        return false;
    }
    line.remove_prefix(size_t(last - line.data()) + 1);
    return true;
}

} // namespace

std::optional<PartPositions::Key> PartPositions::keyOf(const fs::path& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    struct stat info {};
    if (ec || ::stat(absolute.c_str(), &info) != 0) {
        return std::nullopt;
    }
    const std::string text = absolute.lexically_normal().string();
    // A name with a line break cannot be a line of the file.
    if (text.find_first_of("\r\n") != std::string::npos) {
        return std::nullopt;
    }
    return Key{text, uintmax_t(info.st_size),
               int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

fs::path PartPositions::defaultFile() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return fs::path(state) / "tolvane" / "positions";
    }
    const char* home = std::getenv("HOME");
    return fs::path(home != nullptr ? home : "") / ".local" / "state" / "tolvane" / "positions";
}

PartPositions::PartPositions(fs::path file) : file_(std::move(file)) {}

void PartPositions::load(std::string* note) {
    entries_.clear();
    std::string bytes;
    bool truncated = false;
    std::string error;
    std::error_code ec;
    if (!fs::exists(file_, ec)) {
        return;
    }
    if (!readFileHead(file_, kMaxFileBytes, bytes, truncated, error) || truncated) {
        if (note != nullptr) {
            *note = truncated ? file_.string() + " is too large; positions start afresh" : error;
        }
        return;
    }
    std::vector<Entry> entries;
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t end = std::min(bytes.find('\n', at), bytes.size());
        std::string_view line(bytes.data() + at, end - at);
        Entry entry;
        if (!parseNumber(line, entry.part) || !parseNumber(line, entry.key.size) ||
            !parseNumber(line, entry.key.mtimeNs) || line.empty() || line[0] != '/') {
            if (note != nullptr) {
                *note = file_.string() + " is not a positions file; positions start afresh";
            }
            return;
        }
        entry.key.path = line;
        entries.push_back(std::move(entry));
        at = end + 1;
    }
    entries_ = std::move(entries);
}

size_t PartPositions::partOf(const Key& key) const {
    const auto found = std::find_if(entries_.rbegin(), entries_.rend(),
                                    [&](const Entry& entry) { return entry.key == key; });
    return found == entries_.rend() ? 0 : found->part;
}

bool PartPositions::remember(const Key& key, size_t part, std::string* error) {
    // Another version of the same file is forgotten with it.
    std::erase_if(entries_, [&](const Entry& entry) { return entry.key.path == key.path; });
    entries_.push_back({key, part});
    if (entries_.size() > kMaxDocuments) {
        entries_.erase(entries_.begin(), entries_.end() - kMaxDocuments);
    }
    return save(error);
}

bool PartPositions::save(std::string* error) const {
    std::string bytes;
    for (const Entry& entry : entries_) {
        bytes += std::to_string(entry.part) + " " + std::to_string(entry.key.size) + " " +
                 std::to_string(entry.key.mtimeNs) + " " + entry.key.path + "\n";
    }
    return platform::makePrivateParents(file_, error) &&
           platform::replaceFile(file_, bytes, nullptr, error);
}

} // namespace tolvane
