// `tolvane-play play` through ALSA's default device into the PulseAudio null
// sink: the recorded monitor is the decoded sound; space pauses and resumes on
// a terminal; Ctrl-C stops the sound and ends the tool cleanly.
#include "tests/integration/play/PlayTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/MonitorRecorder.h"
#include "tests/support/SignalAnalysis.h"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tolvane::test;
using namespace std::chrono_literals;

namespace {

constexpr double kRate = 44100;

class PlayAudio : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(PlayFiles::get().ok()) << "test files not made";
        std::string error;
        ASSERT_TRUE(recorder.start(error)) << error;
    }

    WavAudio stopRecording() {
        std::this_thread::sleep_for(300ms); // the sink's own latency
        WavAudio audio;
        std::string error;
        EXPECT_TRUE(recorder.stop(audio, error)) << error;
        EXPECT_EQ(audio.sampleRate, 44100u);
        return audio;
    }

    static std::filesystem::path file(const std::string& name) { return PlayFiles::get()[name]; }

    MonitorRecorder recorder;
};

std::vector<double> part(const std::vector<double>& x, size_t from, size_t n) {
    from = std::min(from, x.size());
    return {x.begin() + long(from), x.begin() + long(std::min(x.size(), from + n))};
}

double soundSeconds(const std::vector<Segment>& segments) {
    double total = 0;
    for (const Segment& s : segments) {
        total += double(s.length()) / kRate;
    }
    return total;
}

// The tool on a pseudo-terminal, so it reads keys and shows its status line.
class TerminalRun {
  public:
    explicit TerminalRun(const std::vector<std::string>& args) {
        std::vector<std::string> all = {toolPath().string()};
        all.insert(all.end(), args.begin(), args.end());
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (std::string& a : all) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~TerminalRun() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) {
            close(master_);
        }
    }
    bool started() const { return pid_ > 0; }
    void press(char key) { EXPECT_EQ(write(master_, &key, 1), 1); }

    // Reads what the tool shows for `span`; true when it exited meanwhile.
    bool pump(std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            pollfd in{master_, POLLIN, 0};
            if (poll(&in, 1, 20) > 0) {
                char buffer[4096];
                const ssize_t n = read(master_, buffer, sizeof buffer);
                if (n > 0) {
                    shown.append(buffer, size_t(n));
                }
            }
            int status = 0;
            if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return true;
            }
        }
        return pid_ < 0;
    }

    std::string shown;
    int exitCode = -1;

  private:
    pid_t pid_ = -1;
    int master_ = -1;
};

} // namespace

TEST_F(PlayAudio, PlayedSoundIsTheDecodedSound) {
    const ProcessResult played = runTool({"play", file("sweep44.mp3").string()});
    const WavAudio heard = stopRecording();
    ASSERT_EQ(played.exitCode, 0) << played.err;
    WavAudio decoded;
    std::string error;
    ASSERT_TRUE(toolDecode(file("sweep44.mp3"), decoded, error)) << error;

    const std::vector<double> left = heard.channel(0);
    const size_t onset = findOnset(left, kRate);
    ASSERT_LT(onset, left.size()) << "nothing was heard";
    const size_t n = size_t(3 * kRate);
    for (uint16_t channel : {0, 1}) {
        const Alignment match =
            crossCorrelate(part(heard.channel(channel), onset, n),
                           part(decoded.channel(channel), 0, n), size_t(kRate / 10));
        EXPECT_GT(match.coefficient, 0.99) << "channel " << channel;
    }
    // All of it, the partly filled last buffer included, and nothing more.
    EXPECT_NEAR(soundSeconds(findSegments(left, kRate)), decoded.seconds(), 0.1);
}

TEST_F(PlayAudio, SpacePausesAndResumesOnATerminal) {
    TerminalRun run({"play", file("tone44.mp3").string()});
    ASSERT_TRUE(run.started());
    ASSERT_FALSE(run.pump(1500ms)) << run.shown;
    run.press(' ');
    ASSERT_FALSE(run.pump(1000ms)) << run.shown;
    run.press(' ');
    EXPECT_TRUE(run.pump(10s)) << "still running after the file's end";
    const WavAudio heard = stopRecording();
    EXPECT_EQ(run.exitCode, 0) << run.shown;
    EXPECT_NE(run.shown.find("paused "), std::string::npos) << run.shown;
    EXPECT_NE(run.shown.find("0:04.0"), std::string::npos) << "length missing: " << run.shown;
    // Level meters of a sounding tone.
    EXPECT_TRUE(std::regex_search(run.shown, std::regex(" L #+-* R #+"))) << run.shown;

    // Sound, a gap of about the second paused, and the rest of the sound.
    const std::vector<Segment> segments = findSegments(heard.channel(0), kRate, -40, 5, 200);
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_NEAR(double(segments[1].begin - segments[0].end) / kRate, 1.0, 0.25);
    EXPECT_NEAR(soundSeconds(segments), 4.05, 0.15);
}

TEST_F(PlayAudio, InterruptStopsTheSoundAndExitsCleanly) {
    ChildProcess tool;
    std::string error;
    ASSERT_TRUE(tool.start(toolPath(), {"play", file("sweep44.mp3").string()}, error)) << error;
    std::this_thread::sleep_for(1500ms);
    tool.signal(SIGINT);
    ASSERT_TRUE(tool.wait(3s)) << "still running after Ctrl-C";
    const WavAudio heard = stopRecording();
    EXPECT_EQ(tool.exitCode(), 0) << tool.err();
    EXPECT_TRUE(tool.err().empty()) << tool.err();
    const double seconds = soundSeconds(findSegments(heard.channel(0), kRate));
    EXPECT_GT(seconds, 0.8);
    EXPECT_LT(seconds, 2.5);
}

namespace {

std::vector<std::string> splitOn(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) {
        parts.push_back(part);
    }
    return parts;
}

// The band (0 = 31 Hz … 9 = 16 kHz) with the highest value of a plain line.
size_t loudestBand(const std::vector<std::string>& fields) {
    size_t loudest = 0;
    long highest = -1;
    for (size_t band = 0; band < 10; ++band) {
        const std::string& value = fields[3 + band];
        if (value != "-" && std::stol(value) > highest) {
            highest = std::stol(value);
            loudest = band;
        }
    }
    return loudest;
}

} // namespace

// Into a file: a header, then a line a few times a second with the position,
// both levels and the ten bands; wherever the meters show the 500 Hz tone
// (-6 dB), its octave band is the loudest.
TEST_F(PlayAudio, SpectrumPrintsLevelsAndTheTonesBand) {
    const ProcessResult r = runTool({"spectrum", file("tone44.mp3").string(), "--seek", "2500"});
    const WavAudio heard = stopRecording();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> lines = splitOn(r.out, '\n');
    ASSERT_GE(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "# ms vu_left vu_right 31 63 125 250 500 1k 2k 4k 8k 16k");
    size_t sounding = 0;
    long previousMs = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        const std::vector<std::string> fields = splitOn(lines[i], ' ');
        ASSERT_EQ(fields.size(), 13u);
        const long ms = std::stol(fields[0]);
        EXPECT_GE(ms, previousMs);
        EXPECT_GE(ms, 2400);
        EXPECT_LE(ms, 4100);
        previousMs = ms;
        const long left = std::stol(fields[1]);
        EXPECT_EQ(std::stol(fields[2]), left); // the same tone on both sides
        if (left > 0) {
            ++sounding;
            // Mean absolute value of a -6 dB sine: 16384 × 2/π, level 88.
            EXPECT_NEAR(left, 88, 2);
            EXPECT_EQ(loudestBand(fields), 4u);
        }
    }
    EXPECT_GE(sounding, 3u);
    EXPECT_NEAR(soundSeconds(findSegments(heard.channel(0), kRate)), 1.55, 0.2);
}

// On a terminal: the picture of bars is drawn and then redrawn in place.
TEST_F(PlayAudio, SpectrumDrawsBarsOnATerminal) {
    TerminalRun run({"spectrum", file("tone44.mp3").string(), "--seek", "3000", "--points", "512",
                     "--window", "hamming"});
    ASSERT_TRUE(run.started());
    EXPECT_TRUE(run.pump(10s)) << "still running after the file's end";
    stopRecording();
    EXPECT_EQ(run.exitCode, 0) << run.shown;
    EXPECT_NE(run.shown.find("\x1b[13A"), std::string::npos) << "never redrawn: " << run.shown;
    EXPECT_TRUE(std::regex_search(run.shown, std::regex("\\n500Hz +#+\\.* +[0-9]+\\r?\\n")))
        << run.shown;
    EXPECT_TRUE(std::regex_search(run.shown, std::regex("\\nL +#{40,}\\.* +8[0-9]\\r?\\n")))
        << run.shown;
}
