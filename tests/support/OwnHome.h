#pragma once

#include <filesystem>
#include <string>

namespace tolvane::test {

// The home of one test program: a fresh temporary folder that HOME and the
// XDG base folders (config, data, cache, state, runtime) point into for the
// life of the object, removed with everything in it at the end. Programs the
// test starts inherit it, so no test reads or writes the invoking user's
// files, and no test sees what an earlier run or another test program left.
//
// The session bus address is cleared: a test that needs a bus starts one of
// its own. The sound daemon stays reachable only where the caller named it
// (PULSE_SERVER or PULSE_RUNTIME_PATH); when neither is set, the daemon of the
// invoking user's runtime folder is named explicitly, so audio tests run by
// hand still find it.
class OwnHome {
  public:
    OwnHome();
    ~OwnHome();
    OwnHome(const OwnHome&) = delete;
    OwnHome& operator=(const OwnHome&) = delete;

    // Empty when the folder could not be made (the environment is then unchanged).
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

} // namespace tolvane::test
