#include "tests/support/ChildProcess.h"
#include "tests/support/SignalAnalysis.h"
#include "tests/support/TempDir.h"
#include "tests/support/WavFile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tolvane::test {
namespace {

std::filesystem::path scratchFile(const char* name) {
    return std::filesystem::temp_directory_path() /
           (std::string("tolvane-support-") + std::to_string(getpid()) + "-" + name);
}

using namespace std::chrono_literals;

const std::string kShell = "/bin/sh";

TEST(ChildProcess, RunGivesExitCodeAndBothStreams) {
    const RunResult r = run(kShell, {"-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_EQ(saidAside(r.err), " (err)");
    EXPECT_EQ(saidAside("\r\n"), "");

    EXPECT_EQ(run(kShell, {"-c", "kill -KILL $$"}).exitCode, 128 + SIGKILL);

    const RunResult missing = run("/no/such/program", {});
    EXPECT_EQ(missing.exitCode, -1);
    EXPECT_EQ(missing.err, "can't start /no/such/program: No such file or directory");
    EXPECT_EQ(run("sh", {"-c", "exit 4"}).exitCode, -1) << "PATH searched unasked";
    EXPECT_EQ(run("sh", {"-c", "exit 4"}, {.searchPath = true}).exitCode, 4);
}

// More than a pipe holds, in and out, with standard error written first: the
// child would block for good if the streams were not read as they come.
TEST(ChildProcess, LargeInputAndOutputsFlowWithoutBlocking) {
    std::string input(1 << 20, '\0');
    for (size_t i = 0; i < input.size(); ++i) {
        input[i] = char('a' + i % 26);
    }
    const RunResult echoed =
        run(kShell, {"-c", "head -c 300000 /dev/zero >&2; cat"}, {.input = input});
    EXPECT_EQ(echoed.exitCode, 0);
    EXPECT_EQ(echoed.err.size(), 300000u);
    EXPECT_TRUE(echoed.out == input) << echoed.out.size() << " bytes came back";

    // A child that reads nothing of its input still ends normally.
    EXPECT_EQ(run(kShell, {"-c", "exit 0"}, {.input = input}).exitCode, 0);
}

TEST(ChildProcess, EnvironmentEntriesAndStdoutFileWithMergedStderr) {
    TempDir dir("tolvane-support");
    const auto file = dir.path() / "out.txt";
    const RunResult r =
        run(kShell, {"-c", "echo $TOLVANE_X; echo $HOME >&2; read line"},
            {.env = {"TOLVANE_X=1", "HOME=/nowhere"}, .stdoutFile = file, .mergeStderr = true});
    EXPECT_EQ(r.exitCode, 1) << "standard input is /dev/null: read finds its end";
    EXPECT_EQ(r.out, "");
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "1\n/nowhere\n");
}

TEST(ChildProcess, WaitLimitSignalAndTerminate) {
    ChildProcess sleeper;
    std::string error;
    ASSERT_TRUE(sleeper.start("/bin/sleep", {"30"}, error)) << error;
    EXPECT_FALSE(sleeper.wait(100ms));
    EXPECT_EQ(sleeper.exitCode(), -1);
    EXPECT_TRUE(sleeper.signal(SIGINT));
    ASSERT_TRUE(sleeper.wait(10s));
    EXPECT_EQ(sleeper.exitCode(), 128 + SIGINT);
    EXPECT_FALSE(sleeper.signal(SIGINT)) << "reaped child still signalled";

    // SIGTERM ignored: terminate() falls back to SIGKILL.
    ChildProcess stubborn;
    ASSERT_TRUE(stubborn.start(kShell, {"-c", "trap '' TERM; echo ready; exec sleep 30"}, error));
    ASSERT_EQ(stubborn.waitForOutput(std::regex("ready"), 10s).size(), 1u) << stubborn.err();
    EXPECT_FALSE(stubborn.terminate(200ms));
    EXPECT_EQ(stubborn.exitCode(), 128 + SIGKILL);
}

TEST(ChildProcess, WaitForOutputGivesGroupsOrStopsAtTheEnd) {
    std::string error;
    pid_t pid = -1;
    {
        ChildProcess child;
        ASSERT_TRUE(
            child.start(kShell, {"-c", "echo 'listening on port 4711'; exec sleep 30"}, error));
        EXPECT_EQ(child.waitForOutput(std::regex("port ([0-9]+)"), 10s),
                  (std::vector<std::string>{"port 4711", "4711"}));
        pid = child.pid();
    }
    EXPECT_EQ(::kill(pid, 0), -1) << "the destructor left the child running or unreaped";
    EXPECT_EQ(errno, ESRCH);

    ChildProcess quitter;
    ASSERT_TRUE(quitter.start(kShell, {"-c", "echo nothing here"}, error));
    EXPECT_TRUE(quitter.waitForOutput(std::regex("port"), 60s).empty());
    EXPECT_TRUE(quitter.wait(10s));
    EXPECT_EQ(quitter.out(), "nothing here\n");
}

TEST(TempDir, FreshFolderGoesWithEverythingInIt) {
    std::filesystem::path made;
    {
        TempDir dir("tolvane-support");
        TempDir other("tolvane-support");
        ASSERT_TRUE(std::filesystem::is_directory(dir.path()));
        EXPECT_NE(dir.path(), other.path());
        EXPECT_EQ(dir.path().filename().string().rfind("tolvane-support-", 0), 0u);
        std::filesystem::create_directory(dir.path() / "inner");
        std::ofstream(dir.path() / "inner" / "file") << "kept until the end";
        made = dir.path();
    }
    EXPECT_FALSE(std::filesystem::exists(made));
}

TEST(WavFile, RoundTripKeepsFormatAndSamples) {
    WavAudio audio;
    audio.sampleRate = 22050;
    audio.channels = 2;
    audio.samples = {0, 1, -1, 32767, -32768, 1234};
    const auto path = scratchFile("roundtrip.wav");
    std::string error;
    ASSERT_TRUE(writeWav(path, audio, error)) << error;
    WavAudio back;
    ASSERT_TRUE(readWav(path, back, error)) << error;
    std::filesystem::remove(path);
    EXPECT_EQ(back.sampleRate, 22050u);
    EXPECT_EQ(back.channels, 2);
    EXPECT_EQ(back.samples, audio.samples);
    EXPECT_EQ(back.frames(), 3u);
    EXPECT_EQ(back.channel(1), (std::vector<double>{1 / 32768.0, 32767 / 32768.0, 1234 / 32768.0}));
}

TEST(WavFile, UnfinishedHeaderReadsToEndOfFile) {
    WavAudio audio;
    audio.channels = 1;
    audio.samples = {5, 6, 7, 8};
    const auto path = scratchFile("unfinished.wav");
    std::string error;
    ASSERT_TRUE(writeWav(path, audio, error)) << error;
    // A recorder killed before it fixed the header leaves a data size of 0.
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(40);
        const char zero[4] = {};
        f.write(zero, 4);
    }
    WavAudio back;
    ASSERT_TRUE(readWav(path, back, error)) << error;
    std::filesystem::remove(path);
    EXPECT_EQ(back.samples, audio.samples);
}

TEST(WavFile, RejectsWhatItCannotRead) {
    const auto path = scratchFile("bad.wav");
    std::string error;
    WavAudio back;
    for (const std::string& bytes :
         {std::string("RIFF"), std::string("RIFF\0\0\0\0WAVEdata\x04\0\0\0abcd", 24),
          std::string("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x03\0\x01\0\x44\xac\0\0\0\0\0\0\x04\0\x20\0",
                      36),
          std::string("RIFF\0\0\0\0WAVEfmt \xff\xff\0\0", 20)}) {
        std::ofstream(path, std::ios::binary) << bytes;
        error.clear();
        EXPECT_FALSE(readWav(path, back, error)) << bytes.size();
        EXPECT_FALSE(error.empty());
    }
    std::filesystem::remove(path);
    EXPECT_FALSE(readWav(path, back, error));
}

TEST(SignalAnalysis, FrequencyOfToneWithinHundredthOfPercent) {
    for (double f : {440.0, 1000.0, 997.3, 5000.0}) {
        const auto tone = makeTone(f, 44100, 1.0, 0.5);
        EXPECT_NEAR(estimateFrequency(tone, 44100), f, f * 1e-4) << f;
    }
    // Short windows and noise still land well inside 1 %.
    auto tone = makeTone(1000, 48000, 0.1, 0.5);
    for (size_t i = 0; i < tone.size(); ++i) {
        tone[i] += 0.05 * (std::rand() / double(RAND_MAX) - 0.5);
    }
    EXPECT_NEAR(estimateFrequency(tone, 48000), 1000, 2.0);
    EXPECT_EQ(estimateFrequency(std::vector<double>(10, 0.1), 44100), 0.0);
}

TEST(SignalAnalysis, RmsOfSineIsThreeDecibelsBelowPeak) {
    EXPECT_NEAR(rmsDb(makeTone(1000, 44100, 1.0, 1.0)), -3.0103, 0.001);
    EXPECT_NEAR(rmsDb(makeTone(1000, 44100, 1.0, 0.5)), -9.0309, 0.001);
    EXPECT_TRUE(std::isinf(rmsDb(std::vector<double>(100, 0.0))));
}

TEST(SignalAnalysis, SegmentsFindToneBurstsToTheSample) {
    const double rate = 44100;
    std::vector<double> x(size_t(rate), 0.0);
    const auto burst = makeTone(1000, rate, 0.2, 0.5);
    // Bursts start at a zero crossing, so the edge is found within one period.
    std::copy(burst.begin(), burst.end(), x.begin() + 4410);
    std::copy(burst.begin(), burst.end(), x.begin() + 22050);
    const auto segments = findSegments(x, rate);
    ASSERT_EQ(segments.size(), 2u);
    EXPECT_NEAR(double(segments[0].begin), 4410, 44);
    EXPECT_NEAR(double(segments[0].length()), burst.size(), 88);
    EXPECT_NEAR(double(segments[1].begin), 22050, 44);
    EXPECT_NEAR(double(findOnset(x, rate)), 4410, 44);
    EXPECT_EQ(findOnset(std::vector<double>(1000, 0.0), rate), 1000u);
}

TEST(SignalAnalysis, CrossCorrelationFindsTheDelay) {
    std::vector<double> a(20000, 0.0);
    std::vector<double> b(5000);
    for (size_t i = 0; i < b.size(); ++i) {
        b[i] = std::sin(i * 0.05) * std::sin(i * 0.0013) + 0.3 * std::sin(i * 0.71);
    }
    std::copy(b.begin(), b.end(), a.begin() + 1234);
    const Alignment found = crossCorrelate(a, b, 5000);
    EXPECT_EQ(found.lag, 1234);
    EXPECT_NEAR(found.coefficient, 1.0, 1e-9);
    const Alignment behind = crossCorrelate(b, a, 5000);
    EXPECT_EQ(behind.lag, -1234);
}

} // namespace
} // namespace tolvane::test
