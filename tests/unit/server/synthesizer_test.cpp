// The speech a job makes, sample for sample, against what each espeak-ng voice
// makes of the same text on its own.
#include "server/Synthesizer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace tolvane::server {
namespace {

// The Mandarin voice of espeak-ng 1.51 that reads Chinese right, and the one
// that reads each character's tone digit as an English number.
const std::string kMandarin = "cmn-latn-pinyin+f2";
const std::string kEnglish = "en-us+f2";
const std::string kWrongMandarin = "cmn+f2";

class SynthesizerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(synthesizer_.initialize(error)) << error;
    }

    static Synthesizer::Voice voice(Script neutral) { return {"f2", 175, 100, 0, neutral}; }

    using Speech = std::vector<std::vector<int16_t>>;
    // What `make` speaks in a child process. espeak-ng carries the wave phase
    // and pitch flutter of one speech into the next in globals, so only
    // speech made from the same state is the same sample for sample: each
    // child starts from this process's.
    static Speech inChild(const std::function<Speech()>& make) {
        int fds[2];
        if (::pipe(fds) != 0) {
            return {};
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            for (const std::vector<int16_t>& pcm : make()) {
                const std::size_t size = pcm.size();
                if (::write(fds[1], &size, sizeof size) != sizeof size ||
                    ::write(fds[1], pcm.data(), size * 2) != static_cast<ssize_t>(size * 2)) {
                    ::_exit(1);
                }
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        std::string bytes;
        char buffer[65536];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fds[0]);
        int status = -1;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        Speech speech;
        for (std::size_t pos = 0, size = 0; pos + sizeof size <= bytes.size();) {
            std::memcpy(&size, bytes.data() + pos, sizeof size);
            pos += sizeof size;
            const auto* samples = reinterpret_cast<const int16_t*>(bytes.data() + pos);
            speech.emplace_back(samples, samples + std::min(size, (bytes.size() - pos) / 2));
            pos += size * 2;
        }
        return speech;
    }

    // What a job makes of `text`.
    std::vector<int16_t> job(const std::string& text, Script neutral) {
        return inChild([&] { return Speech{speak(text, neutral)}; }).at(0);
    }
    // What the espeak-ng voice `name` makes of `text` alone.
    std::vector<int16_t> alone(const std::string& name, const std::string& text) {
        return inChild([&] { return Speech{speakAs(name, text)}; }).at(0);
    }
    // Both of these run in the child: a failure ends it without speech.
    std::vector<int16_t> speak(const std::string& text, Script neutral) {
        std::vector<int16_t> pcm;
        std::string error;
        if (!synthesizer_.speak(text, voice(neutral), kMax, cancel_, pcm, error) || pcm.empty()) {
            ::_exit(2);
        }
        return pcm;
    }
    std::vector<int16_t> speakAs(const std::string& name, const std::string& text) {
        std::vector<int16_t> pcm;
        std::string error;
        if (!synthesizer_.speakAs(name, text, voice(Script::Latin), kMax, cancel_, pcm, error) ||
            pcm.empty()) {
            ::_exit(2);
        }
        return pcm;
    }

    static constexpr std::size_t kMax = 60 * 22050;
    Synthesizer& synthesizer_ = Synthesizer::instance();
    const std::atomic<bool> cancel_{false};
};

TEST_F(SynthesizerTest, ChineseIsSpokenByTheMandarinVoiceThatReadsItInMandarin) {
    EXPECT_EQ(synthesizer_.voiceName(Script::Han, voice(Script::Latin)), kMandarin);
    for (const std::string text : {"今天的新闻很好。", "我们明天去北京。"}) {
        const std::vector<int16_t> mandarin = alone(kMandarin, text);
        EXPECT_NE(mandarin, alone(kWrongMandarin, text));
        EXPECT_EQ(job(text, Script::Latin), mandarin) << text;
        EXPECT_EQ(job(text, Script::Han), mandarin) << text;
        // espeak-ng marks words it reads by another language's rules with
        // "(en)": how "好" became "hao three".
        EXPECT_EQ(synthesizer_.phonemes(kMandarin, text).find('('), std::string::npos);
        EXPECT_NE(synthesizer_.phonemes(kWrongMandarin, text).find("(en)"), std::string::npos);
    }
}

TEST_F(SynthesizerTest, MixedTextIsEachVoicesOwnSpeechJoinedByAShortPauseInSilence) {
    const std::string text = "今天的新闻: Apple released iOS 20 in California.";
    EXPECT_EQ(synthesizer_.voiceNames(text, voice(Script::Han)), kMandarin + "," + kEnglish);
    const std::vector<int16_t> pcm = job(text, Script::Han);
    // The runs spoken one after the other, as the job speaks them.
    const Speech runs = inChild([&] {
        return Speech{speakAs(kMandarin, "今天的新闻: "),
                      speakAs(kEnglish, "Apple released iOS 20 in California.")};
    });
    ASSERT_EQ(runs.size(), 2u);
    const std::vector<int16_t>& mandarin = runs[0];
    const std::vector<int16_t>& english = runs[1];
    ASSERT_GT(pcm.size(), english.size());
    const std::size_t join = pcm.size() - english.size();
    EXPECT_TRUE(std::equal(english.begin(), english.end(), pcm.begin() + join))
        << "ends with the English voice's speech";
    ASSERT_LE(join, mandarin.size());
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.begin() + join, mandarin.begin()))
        << "begins with the Mandarin voice's speech";
    std::size_t spoken = mandarin.size();
    while (spoken > 0 && std::abs(mandarin[spoken - 1]) <= 16) {
        --spoken;
    }
    EXPECT_GE(join, spoken) << "all of the Mandarin speech is kept";
    EXPECT_LE(join - spoken, 22050 / 10) << "at most 100 ms of silence at the join";
    EXPECT_LE(std::abs(pcm[join - 1]), 16) << "the join lies in silence";
}

TEST_F(SynthesizerTest, TheLanguageDecidesOnlyTextWithoutLetters) {
    const std::string weather = "The weather is fine.";
    EXPECT_EQ(job(weather, Script::Han), alone(kEnglish, weather));
    EXPECT_EQ(synthesizer_.voiceNames(weather, voice(Script::Han)), kEnglish);
    EXPECT_EQ(job("2024", Script::Han), alone(kMandarin, "2024"));
    EXPECT_EQ(job("2024", Script::Latin), alone(kEnglish, "2024"));
    EXPECT_EQ(synthesizer_.voiceNames("2024", {"", 175, 100, 0, Script::Latin}), "en-us");
    // Full-width letters are spelt as letters, not read as their code numbers;
    // full-width digits and signs are read, not skipped.
    EXPECT_EQ(job("ＣＰＵ", Script::Han), alone(kEnglish, "CPU"));
    EXPECT_EQ(job("今天是２０２４年，涨了１０％。", Script::Latin),
              alone(kMandarin, "今天是2024年，涨了10%。"));
}

} // namespace
} // namespace tolvane::server
