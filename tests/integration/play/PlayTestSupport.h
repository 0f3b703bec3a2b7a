#pragma once

// Helpers shared by the tolvane-play tests: the MP3 files made by
// make_play_mp3s.sh, running the tool as a process, its info line, and
// madplay's decoding as the reference.
#include "tests/support/WavFile.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tolvane::test {

// A folder of freshly made test files, removed when the test program ends.
class PlayFiles {
  public:
    static const PlayFiles& get();
    std::filesystem::path operator[](const std::string& name) const { return dir_ / name; }
    const std::filesystem::path& dir() const { return dir_; }
    bool ok() const { return ok_; }
    // Every MP3 and MP2 file of the folder, sorted by name.
    std::vector<std::string> names() const;

  private:
    PlayFiles();
    ~PlayFiles();
    std::filesystem::path dir_;
    bool ok_ = false;
};

std::filesystem::path toolPath();

struct ProcessResult {
    int exitCode = -1; // 128 + the signal for a death by signal; -1 when it did not run or end
    std::string out;
    std::string err;
    // The last line written to standard error, without its line break.
    std::string lastErrorLine() const;
};

// Runs tolvane-play with `args` and waits for it. Standard output goes to
// `stdoutPath` when given (and is then not kept in `out`); `env` entries
// ("NAME=value") are added to the environment.
ProcessResult runTool(const std::vector<std::string>& args,
                      const std::filesystem::path& stdoutPath = {},
                      const std::vector<std::string>& env = {});

// The integer fields of a flat JSON object, in the order they appear.
std::vector<std::pair<std::string, long>> parseJsonLine(const std::string& line);
std::map<std::string, long> infoOf(const std::filesystem::path& mp3);

// madplay's 16-bit stereo output with its default dither. -S makes mono and
// dual-channel streams stereo, as the engine plays them.
bool madplayDecode(const std::filesystem::path& mp3, WavAudio& audio, std::string& error);

// `tolvane-play decode FILE OUT [options]` read back; false with the reason.
bool toolDecode(const std::filesystem::path& mp3, WavAudio& audio, std::string& error,
                const std::vector<std::string>& options = {});

std::string readText(const std::filesystem::path& path);

// Runs a program found on PATH with `args` (the program's name first), its
// output thrown away; its exit code, or -1 when it did not run or end.
int runProgram(const std::vector<std::string>& args);

} // namespace tolvane::test
