// The decoding thread allocates per run, never per frame or per buffer: a run
// over 45 s of audio makes as many allocations as a run over 5 s, with the
// effects off and with every effect on; and an echo history that cannot be
// allocated fails the open.
#include "tests/unit/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

namespace {
std::atomic<size_t> gAllocations{0};
// Allocations without exceptions of at least this many bytes fail while set.
std::atomic<size_t> gRefuseFrom{SIZE_MAX};
} // namespace

// The replacements below pair malloc with free, which gcc cannot see through.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t size) {
    ++gAllocations;
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    ++gAllocations;
    return size >= gRefuseFrom ? nullptr : std::malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return operator new(size, std::nothrow);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}

using namespace tolvane;
using namespace tolvane::test;

namespace {

void allEffectsOn(Mp3Engine& engine) {
    int32_t gains[10] = {3, 2, 1, 0, -1, -2, -1, 0, 1, 2};
    EXPECT_EQ(engine.SetEqGains(0, -3, gains, 10), 1);
    EXPECT_EQ(engine.EnableEQ(1, 0), 1);
    EXPECT_EQ(engine.SetEqGains(1, -3, gains, 10), 1);
    EXPECT_EQ(engine.EnableEQ(1, 1), 1);
    EXPECT_EQ(engine.SetSfxParam(1, 2, 100, 0, -6, -3), 1);
    EXPECT_EQ(engine.MixChannels(1, 60, 40), 1);
    EXPECT_EQ(engine.VocalCut(1), 1);
}

// Allocations made from Play to the end of a run in no-device mode without
// notifications; `setup`, when given, runs after the open.
size_t allocationsOfARun(const std::string& name, uint32_t& ms, void (*setup)(Mp3Engine&)) {
    Mp3Engine engine;
    EXPECT_EQ(engine.OpenMp3File(Mp3Files::get()[name].c_str(), 0, 0, 0), 1);
    if (setup) {
        setup(engine);
    }
    MP3_TIME length{};
    engine.GetSongLengthHMS(&length);
    ms = length.nMilliseconds;
    MP3_STATUS status{};
    const size_t before = gAllocations.load();
    EXPECT_EQ(engine.Play(), 1);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        engine.GetStatus(&status);
    } while (status.fPlaying);
    engine.CloseStream(); // waits for the thread's last steps
    return gAllocations.load() - before;
}

// A run over a file more than eight times as long allocates as often, and
// seldom.
void expectAllocationsPerRunOnly(void (*setup)(Mp3Engine&)) {
    uint32_t shortMs = 0;
    uint32_t longMs = 0;
    const size_t shortRun = allocationsOfARun("cbr44.mp3", shortMs, setup);
    const size_t longRun = allocationsOfARun("sweep44.mp3", longMs, setup);
    ASSERT_GT(longMs, 8 * shortMs);
    EXPECT_EQ(longRun, shortRun);
    EXPECT_LT(longRun, 20u);
}

} // namespace

TEST(EngineAllocation, NoAllocationPerFrame) {
    ASSERT_TRUE(Mp3Files::get().ok());
    expectAllocationsPerRunOnly(nullptr);
}

TEST(EngineEffectsAllocation, NoAllocationPerFrameOrBuffer) {
    ASSERT_TRUE(Mp3Files::get().ok());
    expectAllocationsPerRunOnly(allEffectsOn);
}

// The history of 40 half buffers is the only allocation of the open this large.
TEST(EngineEffectsAllocation, EchoHistoryThatCannotBeAllocatedFailsTheOpen) {
    ASSERT_TRUE(Mp3Files::get().ok());
    Mp3Engine engine;
    ASSERT_EQ(engine.SetSfxParam(1, 0, 0, 0, 0, 0), 1);
    gRefuseFrom = 200000;
    const int32_t opened = engine.OpenMp3File(Mp3Files::get()["cbr44.mp3"].c_str(), 0, 0, 0);
    gRefuseFrom = SIZE_MAX;
    EXPECT_EQ(opened, 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "_Open->Can't allocate echo buffer");
    EXPECT_EQ(engine.Play(), 0);
    EXPECT_STREQ(engine.GetLastErrorText(), "Play->Stream isn't open !");
    MP3_STATUS status{};
    engine.GetStatus(&status);
    EXPECT_EQ(status.fEcho, 0);
    // With memory back the same engine opens and plays with the echo on again.
    ASSERT_EQ(engine.SetSfxParam(1, 0, 0, 0, 0, 0), 1);
    EXPECT_EQ(engine.OpenMp3File(Mp3Files::get()["cbr44.mp3"].c_str(), 0, 0, 0), 1)
        << engine.GetLastErrorText();
}
