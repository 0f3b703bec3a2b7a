#include "engine/Mp3Engine.h"
#include "engine/Mp3EngineApi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

using namespace tolvane;

namespace {

// Exposes the error setter, so the text rules are tested without a stream.
struct TestEngine : Mp3Engine {
    using Mp3Engine::setError;
};

size_t threadCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

} // namespace

TEST(Mp3Engine, ErrorTextRules) {
    TestEngine engine;
    EXPECT_EQ(engine.GetEngineVersion(), 250);
    ASSERT_NE(engine.GetLastErrorText(), nullptr);
    EXPECT_STREQ(engine.GetLastErrorText(), "");

    // A failure is kept until the next failure; success clears nothing.
    EXPECT_EQ(engine.Stop(), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "Stop->Stream isn't open !");
    EXPECT_EQ(engine.CloseStream(), 1);
    EXPECT_EQ(engine.SetCallbackFunc(nullptr, 0), 1);
    EXPECT_STREQ(engine.GetLastErrorText(), "Stop->Stream isn't open !");

    // A long message is cut so that it fits 512 bytes with its terminator.
    const std::string path(600, 'x');
    engine.setError("OpenMp3FileEx->Can't open file:  %s  !", path.c_str());
    const std::string text = engine.GetLastErrorText();
    ASSERT_EQ(text.size(), 511u);
    EXPECT_EQ(text.rfind("OpenMp3FileEx->Can't open file:  xxx", 0), 0u);
}

TEST(Mp3Engine, ErrorTextCopier) {
    auto* engine = new TestEngine;
    engine->setError("Play->Stream isn't open !");
    const size_t length = std::strlen("Play->Stream isn't open !");

    EXPECT_EQ(mp3::copyErrorText(engine, nullptr, 100), length + 1);
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(mp3::copyErrorText(engine, buffer, 0), length + 1);
    EXPECT_EQ(buffer[0], '#'); // size 0 writes nothing

    EXPECT_EQ(mp3::copyErrorText(engine, buffer, 1), 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '#');

    EXPECT_EQ(mp3::copyErrorText(engine, buffer, 5), 4u);
    EXPECT_STREQ(buffer, "Play");
    EXPECT_EQ(mp3::copyErrorText(engine, buffer, sizeof buffer), length);
    EXPECT_STREQ(buffer, "Play->Stream isn't open !");

    EXPECT_EQ(mp3::destroy(engine), 1);
}

TEST(Mp3Engine, FreeFunctionsTolerateANullObject) {
    char buffer[8] = "keep";
    EXPECT_EQ(mp3::destroy(nullptr), 0);
    EXPECT_EQ(mp3::copyErrorText(nullptr, buffer, sizeof buffer), 0u);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(mp3::play(nullptr), 0);
    EXPECT_EQ(mp3::stop(nullptr), 0);
    EXPECT_EQ(mp3::getBitrate(nullptr, 1), 0);
    MP3_STATUS status{};
    EXPECT_EQ(mp3::getStatus(nullptr, &status), 0);
    EXPECT_EQ(mp3::setCallbackFunc(
                  nullptr, [](uint32_t, uintptr_t, uintptr_t) { return 0; }, 1),
              0);
}

TEST(Mp3Engine, DestroyingAnUnusedObjectLeavesNoThread) {
    // A thread sanitizer starts a helper thread with the first thread; let it.
    std::thread([] {}).join();
    const size_t before = threadCount();
    Mp3Engine* engine = mp3::create();
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(mp3::setCallbackFunc(
                  engine, [](uint32_t, uintptr_t, uintptr_t) { return 0; }, 0xFFFFFFFF),
              1);
    EXPECT_EQ(threadCount(), before + 1); // the notification thread
    EXPECT_EQ(mp3::destroy(engine), 1);
    EXPECT_EQ(threadCount(), before);
    EXPECT_EQ(Notifier::liveThreads(), 0);
}

// The text handed out is the caller's own copy: a failure on another thread
// (as the decoding thread's) does not rewrite it while the caller reads it.
TEST(Mp3Engine, ErrorTextHandedOutIsTheCallersCopy) {
    Mp3Engine engine;
    EXPECT_EQ(engine.Play(), 0);
    const char* text = engine.GetLastErrorText();
    std::thread([&engine] { engine.Stop(); }).join();
    EXPECT_STREQ(text, "Play->Stream isn't open !");
    EXPECT_STREQ(engine.GetLastErrorText(), "Stop->Stream isn't open !");
}
