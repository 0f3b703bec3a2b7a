#pragma once

#include <filesystem>
#include <string_view>

namespace tolvane::test {

// A fresh folder in the system's temporary directory, named `prefix` and a
// unique ending, removed with everything in it at the end of the scope. The
// path is empty when the folder could not be made.
class TempDir {
  public:
    explicit TempDir(std::string_view prefix = "tolvane-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

} // namespace tolvane::test
