#include "platform/IniFile.h"

#include "platform/ReplaceFile.h"
#include "platform/SystemText.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace tolvane::platform {

namespace fs = std::filesystem;

namespace {

// Larger files are refused rather than read: a configuration never comes close.
constexpr size_t kMaxFileSize = 16 * 1024 * 1024;
constexpr std::string_view kBlanks = " \t\r\v\f";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view trim(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

enum class Encoding { Utf8, Utf8Bom, Utf16Le, Utf16Be };

struct Decoded {
    std::string text;
    Encoding encoding = Encoding::Utf8;
};

std::u16string unitsOf(std::string_view bytes, bool littleEndian) {
    std::u16string units(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
        const auto first = static_cast<unsigned char>(bytes[2 * i]);
        const auto second = static_cast<unsigned char>(bytes[2 * i + 1]);
        units[i] = static_cast<char16_t>(littleEndian ? first | second << 8 : first << 8 | second);
    }
    if (bytes.size() % 2 != 0) {
        units.push_back(u'\uFFFD');
    }
    return units;
}

Decoded decodeFile(std::string_view bytes) {
    if (bytes.starts_with(kUtf8Bom)) {
        return {std::string(bytes.substr(kUtf8Bom.size())), Encoding::Utf8Bom};
    }
    if (bytes.starts_with("\xFF\xFE")) {
        return {utf16ToUtf8(unitsOf(bytes.substr(2), true)), Encoding::Utf16Le};
    }
    if (bytes.starts_with("\xFE\xFF")) {
        return {utf16ToUtf8(unitsOf(bytes.substr(2), false)), Encoding::Utf16Be};
    }
    return {std::string(bytes), Encoding::Utf8};
}

std::string encodeFile(const std::string& text, Encoding encoding) {
    if (encoding == Encoding::Utf8) {
        return text;
    }
    if (encoding == Encoding::Utf8Bom) {
        return std::string(kUtf8Bom) + text;
    }
    const bool little = encoding == Encoding::Utf16Le;
    std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
    for (const char16_t unit : utf8ToUtf16(text)) {
        const auto low = static_cast<char>(unit & 0xFF);
        const auto high = static_cast<char>(unit >> 8);
        out.push_back(little ? low : high);
        out.push_back(little ? high : low);
    }
    return out;
}

// One line of the text: its content is [begin, end), the next line starts at
// `next` (end plus the LF or CRLF, if any).
struct Line {
    size_t begin;
    size_t end;
    size_t next;
};

std::vector<Line> splitLines(std::string_view text) {
    std::vector<Line> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        const size_t lf = text.find('\n', begin);
        if (lf == std::string_view::npos) {
            lines.push_back({begin, text.size(), text.size()});
            break;
        }
        const size_t end = lf > begin && text[lf - 1] == '\r' ? lf - 1 : lf;
        lines.push_back({begin, end, lf + 1});
        begin = lf + 1;
    }
    return lines;
}

enum class LineKind { Blank, Comment, Section, Key };

struct ParsedLine {
    LineKind kind = LineKind::Blank;
    std::string_view name;
    std::string_view value;
    size_t nameOffset = 0; // where the key starts within the line
};

ParsedLine parseLine(std::string_view content) {
    ParsedLine line;
    const std::string_view text = trim(content);
    if (text.empty()) {
        return line;
    }
    if (text.front() == ';' || text.front() == '#') {
        line.kind = LineKind::Comment;
        return line;
    }
    if (text.front() == '[') {
        line.kind = LineKind::Section;
        line.name = trim(text.substr(1, text.find(']') - 1));
        return line;
    }
    line.kind = LineKind::Key;
    line.nameOffset = content.find_first_not_of(kBlanks);
    const size_t equals = text.find('=');
    line.name = trim(text.substr(0, equals));
    if (equals != std::string_view::npos) {
        line.value = unquote(trim(text.substr(equals + 1)));
    }
    return line;
}

void setError(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

enum class ReadStatus { Ok, Missing, Failed };

struct FileContents {
    ReadStatus status = ReadStatus::Failed;
    std::string bytes;
    struct stat info {};
    std::string error;
};

FileContents readFile(const fs::path& path) {
    FileContents file;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        file.status = errno == ENOENT ? ReadStatus::Missing : ReadStatus::Failed;
        file.error = systemError("cannot open", path, errno);
        return file;
    }
    if (fstat(fd.get(), &file.info) != 0) {
        file.error = systemError("cannot inspect", path, errno);
        return file;
    }
    if (!S_ISREG(file.info.st_mode)) {
        file.error = path.string() + " is not a regular file";
        return file;
    }
    if (static_cast<size_t>(file.info.st_size) > kMaxFileSize) {
        file.error = path.string() + " is too large for a settings file";
        return file;
    }
    // One byte past the limit tells a file that grew since fstat.
    if (!readUpTo(fd.get(), file.bytes, kMaxFileSize + 1)) {
        file.error = systemError("cannot read", path, errno);
        return file;
    }
    if (file.bytes.size() > kMaxFileSize) {
        file.error = path.string() + " is too large for a settings file";
        return file;
    }
    file.status = ReadStatus::Ok;
    return file;
}

bool hasAny(std::string_view text, std::string_view characters) {
    return text.find_first_of(characters) != std::string_view::npos;
}

constexpr std::string_view kLineBreaks("\r\n\0", 3);

bool validateWrite(std::string_view section, std::string_view key, std::string_view value,
                   std::string* error) {
    if (hasAny(section, kLineBreaks) || hasAny(section, "]")) {
        setError(error, "a section name cannot hold a line break, NUL or ']'");
        return false;
    }
    if (key.empty() || hasAny(key, kLineBreaks) || hasAny(key, "=") ||
        std::string_view(";#[").find(key.front()) != std::string_view::npos) {
        setError(error, "a key must be a non-empty name without a line break, NUL or '=' "
                        "that does not start with ';', '#' or '['");
        return false;
    }
    if (hasAny(value, kLineBreaks)) {
        setError(error, "a value cannot hold a line break or NUL");
        return false;
    }
    return true;
}

std::string lineEndingOf(std::string_view text) {
    const size_t lf = text.find('\n');
    return lf != std::string_view::npos && lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
}

// Where a key goes in `text`: the line holding it, or else the line after
// which it is inserted (the last key of the first matching section, or its
// header); -1 when the section is missing.
struct KeyPlace {
    long keyLine = -1;
    ParsedLine key;
    long insertAfter = -1;
};

KeyPlace findKey(std::string_view text, const std::vector<Line>& lines, std::string_view section,
                 std::string_view key) {
    KeyPlace place;
    bool inSection = false;
    int firstSection = 0; // 0 before the first matching section, 1 inside it, 2 after it
    for (size_t i = 0; i < lines.size(); ++i) {
        const ParsedLine line =
            parseLine(text.substr(lines[i].begin, lines[i].end - lines[i].begin));
        if (line.kind == LineKind::Section) {
            inSection = equalsIgnoringCase(line.name, section);
            if (firstSection == 1) {
                firstSection = 2;
            } else if (firstSection == 0 && inSection) {
                firstSection = 1;
                place.insertAfter = static_cast<long>(i);
            }
        } else if (line.kind == LineKind::Key && inSection) {
            if (equalsIgnoringCase(line.name, key)) {
                place.keyLine = static_cast<long>(i);
                place.key = line;
                return place;
            }
            if (firstSection == 1) {
                place.insertAfter = static_cast<long>(i);
            }
        }
    }
    return place;
}

} // namespace

std::optional<std::string> IniFile::withValue(std::string_view bytes, std::string_view section,
                                              std::string_view key, std::string_view value,
                                              std::string* error) {
    section = trim(section);
    key = trim(key);
    if (!validateWrite(section, key, value, error)) {
        return std::nullopt;
    }
    const Decoded decoded = decodeFile(bytes);
    const std::string_view text = decoded.text;
    const std::vector<Line> lines = splitLines(text);
    const std::string eol = lineEndingOf(text);
    const KeyPlace place = findKey(text, lines, section, key);
    std::string out;
    if (place.keyLine >= 0) {
        const Line& line = lines[static_cast<size_t>(place.keyLine)];
        out.append(text.substr(0, line.begin + place.key.nameOffset));
        out.append(place.key.name).append("=").append(value);
        out.append(text.substr(line.end));
    } else if (place.insertAfter >= 0) {
        const Line& line = lines[static_cast<size_t>(place.insertAfter)];
        out.append(text.substr(0, line.next));
        if (line.next == line.end) {
            out.append(eol);
        }
        out.append(key).append("=").append(value).append(eol);
        out.append(text.substr(line.next));
    } else {
        out.append(text);
        if (!out.empty() && out.back() != '\n') {
            out.append(eol);
        }
        out.append("[").append(section).append("]").append(eol);
        out.append(key).append("=").append(value).append(eol);
    }
    return encodeFile(out, decoded.encoding);
}

IniFile IniFile::parse(std::string_view bytes) {
    IniFile file;
    const Decoded decoded = decodeFile(bytes);
    const std::string_view text = decoded.text;
    std::unordered_map<std::string, size_t> indexOf;
    Section* current = nullptr;
    for (const Line& line : splitLines(text)) {
        const ParsedLine parsed = parseLine(text.substr(line.begin, line.end - line.begin));
        if (parsed.kind == LineKind::Section) {
            const auto [it, added] =
                indexOf.emplace(asciiLowered(parsed.name), file.sections_.size());
            if (added) {
                file.sections_.push_back({std::string(parsed.name), {}});
            }
            current = &file.sections_[it->second];
        } else if (parsed.kind == LineKind::Key && current != nullptr) {
            current->entries.emplace_back(parsed.name, parsed.value);
        }
    }
    return file;
}

std::optional<IniFile> IniFile::load(const fs::path& file, std::string* error) {
    FileContents contents = readFile(file);
    if (contents.status != ReadStatus::Ok) {
        setError(error, std::move(contents.error));
        return std::nullopt;
    }
    return parse(contents.bytes);
}

std::vector<std::string> IniFile::sectionNames() const {
    std::vector<std::string> names;
    names.reserve(sections_.size());
    for (const Section& section : sections_) {
        names.push_back(section.name);
    }
    return names;
}

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const {
    section = trim(section);
    key = trim(key);
    for (const Section& candidate : sections_) {
        if (!equalsIgnoringCase(candidate.name, section)) {
            continue;
        }
        for (const auto& [name, value] : candidate.entries) {
            if (equalsIgnoringCase(name, key)) {
                return value;
            }
        }
        break;
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> IniFile::entries(std::string_view section) const {
    section = trim(section);
    for (const Section& candidate : sections_) {
        if (equalsIgnoringCase(candidate.name, section)) {
            return candidate.entries;
        }
    }
    return {};
}

int IniFile::leadingInt(std::string_view text) {
    text = trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    long long magnitude = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        magnitude = std::min(magnitude * 10 + (c - '0'), static_cast<long long>(INT_MAX) + 1);
    }
    const long long number = negative ? -magnitude : magnitude;
    return static_cast<int>(std::clamp<long long>(number, INT_MIN, INT_MAX));
}

std::string IniFile::readString(const fs::path& file, std::string_view section,
                                std::string_view key, std::string_view fallback) {
    const std::optional<IniFile> ini = load(file);
    const std::optional<std::string> found = ini ? ini->value(section, key) : std::nullopt;
    return found ? *found : std::string(fallback);
}

int IniFile::readInt(const fs::path& file, std::string_view section, std::string_view key,
                     int fallback) {
    const std::optional<IniFile> ini = load(file);
    const std::optional<std::string> found = ini ? ini->value(section, key) : std::nullopt;
    return found ? leadingInt(*found) : fallback;
}

bool IniFile::writeString(const fs::path& file, std::string_view section, std::string_view key,
                          std::string_view value, std::string* error) {
    std::error_code ec;
    fs::path target = file;
    if (fs::is_symlink(file, ec)) {
        target = fs::weakly_canonical(file, ec);
        if (ec) {
            setError(error, "cannot follow " + file.string() + ": " + ec.message());
            return false;
        }
    }
    FileContents contents = readFile(target);
    if (contents.status == ReadStatus::Failed) {
        setError(error, std::move(contents.error));
        return false;
    }
    const std::optional<std::string> updated =
        withValue(contents.bytes, section, key, value, error);
    if (!updated) {
        return false;
    }
    const bool existed = contents.status == ReadStatus::Ok;
    if (existed && *updated == contents.bytes) {
        return true;
    }
    return replaceFile(target, *updated, existed ? &contents.info : nullptr, error);
}

} // namespace tolvane::platform
