#pragma once

#include "server/ScriptRuns.h"
#include "server/SpeechMarks.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::server {

// Speech synthesis with espeak-ng into memory. espeak-ng keeps its state in
// globals and is not thread-safe, so the process has one Synthesizer and every
// call into espeak-ng runs under its mutex: the worker threads synthesise one
// at a time (and encode in parallel afterwards).
//
// Each script is spoken by the voice made for it: Latin text by the English
// voice, Han text by the Mandarin voice that initialize() proved reads Chinese
// in Mandarin phonemes alone.
class Synthesizer {
  public:
    struct Voice {
        std::string variant; // espeak-ng variant for both languages, e.g. "f2"; empty: none
        int wordsPerMinute = 175;
        int amplitude = 100;            // 0 to 200
        int punctuation = 0;            // 0 none, 1 all, 2 some (announced aloud)
        Script neutral = Script::Latin; // reads text with no letter of either script
    };

    static Synthesizer& instance();

    // Loads espeak-ng, checks the English voice, chooses the Mandarin voice
    // (logging which and why); later calls give the first call's result.
    bool initialize(std::string& error);

    // Samples per second of the speech (mono, 16-bit).
    int sampleRate() const;

    // The espeak-ng voice that speaks `script` in `voice`'s variant, e.g.
    // "cmn-latn-pinyin+f2".
    std::string voiceName(Script script, const Voice& voice) const;

    // The voices that speak `text`, in the order they first speak, joined by ",".
    std::string voiceNames(std::string_view text, const Voice& voice) const;

    // Appends the speech of `text` (UTF-8): each script run (see splitScripts)
    // spoken by its voice, the silence between runs cut to a short pause. With
    // `events`, also appends the starts of its words and sentences (in
    // characters of `text` and samples of `pcm`). Fails, keeping what was made,
    // when `cancel` becomes true or the speech passes `maxSamples`.
    bool speak(std::string_view text, const Voice& voice, std::size_t maxSamples,
               const std::atomic<bool>& cancel, std::vector<int16_t>& pcm, std::string& error,
               std::vector<SpeechEvent>* events = nullptr);

    // Appends the speech of all of `text` by the espeak-ng voice `name`, at
    // `voice`'s rate, amplitude and punctuation, ending in espeak-ng's pause
    // at the end of a text; fails as speak() does.
    bool speakAs(const std::string& name, std::string_view text, const Voice& voice,
                 std::size_t maxSamples, const std::atomic<bool>& cancel, std::vector<int16_t>& pcm,
                 std::string& error);

    // espeak-ng's phonemes (its ASCII names) for `text` read by the voice
    // `name`, clauses joined by blanks; empty when the voice is unknown.
    std::string phonemes(const std::string& name, std::string_view text);

    // The voice variants espeak-ng lists ("f2", "m3", ...). It takes a variant
    // it does not have (or a path) and speaks without it, so configured
    // variants are checked against this list.
    std::set<std::string> installedVariants();

    // Whether espeak-ng accepts the voice `name` (with optional variant).
    bool checkVoice(const std::string& name, std::string& error);

  private:
    Synthesizer() = default;

    bool readyLocked(std::string& error) const;
    bool start(std::string& error);
    bool chooseMandarin(std::string& error);
    std::string phonemesLocked(const std::string& name, std::string_view text);
    bool speakLocked(const std::string& name, std::string_view text, const Voice& voice,
                     std::size_t maxSamples, const std::atomic<bool>& cancel,
                     std::vector<int16_t>& pcm, std::string& error,
                     std::vector<SpeechEvent>* events);

    std::mutex mutex_; // guards every espeak-ng call and the fields below
    bool tried_ = false;
    bool ready_ = false;
    std::string initError_;
    int sampleRate_ = 22050;
    // Chosen once by initialize(); read without the mutex by voiceName().
    std::atomic<const char*> mandarin_{"cmn"};
};

} // namespace tolvane::server
