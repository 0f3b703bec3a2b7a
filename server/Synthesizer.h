#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::server {

// Speech synthesis with espeak-ng into memory. espeak-ng keeps its state in
// globals and is not thread-safe, so the process has one Synthesizer and every
// call into espeak-ng runs under its mutex: the worker threads synthesise one
// at a time (and encode in parallel afterwards).
class Synthesizer {
  public:
    struct Voice {
        std::string name; // espeak-ng voice with optional variant, e.g. "en-us+f2"
        int wordsPerMinute = 175;
        int amplitude = 100; // 0 to 200
        int punctuation = 0; // 0 none, 1 all, 2 some (announced aloud)
    };

    static Synthesizer& instance();

    // Loads espeak-ng and checks that the English and Mandarin voices exist;
    // later calls give the first call's result.
    bool initialize(std::string& error);

    // Samples per second of the speech (mono, 16-bit).
    int sampleRate() const;

    // Appends the speech of `text` (UTF-8) to `pcm`. Fails, keeping what was
    // made, when `cancel` becomes true or the speech passes `maxSamples`.
    bool speak(std::string_view text, const Voice& voice, std::size_t maxSamples,
               const std::atomic<bool>& cancel, std::vector<int16_t>& pcm, std::string& error);

    // Whether espeak-ng accepts the voice `name` (with optional variant).
    bool checkVoice(const std::string& name, std::string& error);

  private:
    Synthesizer() = default;

    std::mutex mutex_; // guards every espeak-ng call and the fields below
    bool tried_ = false;
    bool ready_ = false;
    std::string initError_;
    int sampleRate_ = 22050;
};

} // namespace tolvane::server
