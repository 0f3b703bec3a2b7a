// The decoding thread allocates per run, never per frame or per buffer: a run
// over 45 s of audio makes as many allocations as a run over 5 s.
#include "tests/unit/engine/EngineTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

namespace {
std::atomic<size_t> gAllocations{0};
}

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
    return std::malloc(size ? size : 1);
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

// Allocations made from Play to the end of the run, in no-device mode
// without notifications.
size_t allocationsOfARun(const std::string& name, uint32_t& ms) {
    Mp3Engine engine;
    EXPECT_EQ(engine.OpenMp3File(Mp3Files::get()[name].c_str(), 0, 0, 0), 1);
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

} // namespace

TEST(EngineAllocation, NoAllocationPerFrame) {
    ASSERT_TRUE(Mp3Files::get().ok());
    uint32_t shortMs = 0;
    uint32_t longMs = 0;
    const size_t shortRun = allocationsOfARun("cbr44.mp3", shortMs);
    const size_t longRun = allocationsOfARun("sweep44.mp3", longMs);
    ASSERT_GT(longMs, 8 * shortMs);
    EXPECT_EQ(longRun, shortRun);
    EXPECT_LT(longRun, 20u);
}
