#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvane::platform {

// INI files with private-profile semantics: section and key names match
// ignoring ASCII letter case, blanks around names and values are dropped, a
// value enclosed in matching single or double quotes loses them, and the first
// match wins (sections of the same name count as one, in file order). Lines
// end in LF or CRLF; ';' and '#' start comment lines. The file is read as
// UTF-8 (a UTF-8 BOM skipped); a UTF-16 file with a byte-order mark is also
// understood and stays UTF-16 when written. Keys and values come back as UTF-8.
class IniFile {
  public:
    // The value of `key`, or `fallback` when the file, section or key is missing
    // or the file cannot be read. A key present with an empty value gives "".
    static std::string readString(const std::filesystem::path& file, std::string_view section,
                                  std::string_view key, std::string_view fallback);

    // `fallback` only when the key is missing; otherwise the decimal integer at
    // the start of the value (an optional sign, then digits; 0 when there is
    // none, saturated at the int range).
    static int readInt(const std::filesystem::path& file, std::string_view section,
                       std::string_view key, int fallback);

    // Writes one key keeping every other byte of the file; creates the file,
    // section or key as needed; written atomically (temp file + rename, mode
    // kept). Refuses names and values that would change other lines (line
    // breaks, NUL, '=' in a key, ']' in a section) and files it cannot read.
    static bool writeString(const std::filesystem::path& file, std::string_view section,
                            std::string_view key, std::string_view value,
                            std::string* error = nullptr);

    // Whole-file view for programs that read many keys.
    static std::optional<IniFile> load(const std::filesystem::path& file,
                                       std::string* error = nullptr);

    // The same view over file contents already in memory.
    static IniFile parse(std::string_view bytes);

    // The file contents `bytes` after writing `key` = `value` into `section`,
    // as writeString stores them; nullopt (with `error`) for refused names or
    // values.
    static std::optional<std::string> withValue(std::string_view bytes, std::string_view section,
                                                std::string_view key, std::string_view value,
                                                std::string* error = nullptr);

    // The decimal integer at the start of `text`, as readInt reads values.
    static int leadingInt(std::string_view text);

    std::vector<std::string> sectionNames() const; // in file order, first spelling
    std::optional<std::string> value(std::string_view section, std::string_view key) const;
    std::vector<std::pair<std::string, std::string>> entries(std::string_view section) const;

  private:
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> entries;
    };

    std::vector<Section> sections_;
};

} // namespace tolvane::platform
