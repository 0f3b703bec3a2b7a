#include "engine/ChunkQueue.h"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

using tolvane::ChunkQueue;

TEST(ChunkQueue, ReferenceChunksAreHeldUntilReadToTheEnd) {
    ChunkQueue queue(false);
    std::vector<uint8_t> a(100);
    std::vector<uint8_t> b(50);
    std::iota(a.begin(), a.end(), 0);
    std::iota(b.begin(), b.end(), 100);
    ASSERT_TRUE(queue.append(a.data(), a.size()));
    ASSERT_TRUE(queue.append(b.data(), b.size()));
    EXPECT_EQ(queue.bytesLeft(), 150u);

    uint8_t out[120];
    size_t removed = 0;
    EXPECT_EQ(queue.read(out, 120, removed), 120u);
    EXPECT_EQ(removed, 1u);
    EXPECT_EQ(out[99], 99);
    EXPECT_EQ(out[119], 119);
    EXPECT_FALSE(queue.holds(a.data()));
    EXPECT_TRUE(queue.holds(b.data())); // read only in part
    const uint8_t* head = nullptr;
    size_t size = 0;
    ASSERT_TRUE(queue.head(head, size));
    EXPECT_EQ(head, b.data() + 20);
    EXPECT_EQ(size, 30u);

    EXPECT_EQ(queue.read(nullptr, 1000, removed), 30u);
    EXPECT_EQ(removed, 1u);
    EXPECT_EQ(queue.entries(), 0u);
    EXPECT_EQ(queue.read(out, 10, removed), 0u);
    EXPECT_FALSE(queue.head(head, size));
}

TEST(ChunkQueue, CopiesFreeTheCallersMemoryAtOnce) {
    ChunkQueue queue(true);
    std::vector<uint8_t> data(64, 7);
    ASSERT_TRUE(queue.append(data.data(), data.size()));
    const uint8_t* head = nullptr;
    size_t size = 0;
    ASSERT_TRUE(queue.head(head, size));
    EXPECT_NE(head, data.data());
    std::fill(data.begin(), data.end(), 9);
    uint8_t out[64];
    size_t removed = 0;
    ASSERT_EQ(queue.read(out, 64, removed), 64u);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[63], 7);
    queue.append(data.data(), 10);
    queue.clear();
    EXPECT_EQ(queue.entries(), 0u);
    EXPECT_EQ(queue.bytesLeft(), 0u);
}

// A pusher and a reader on two threads see every byte once, in order.
TEST(ChunkQueue, PushAndReadOnTwoThreads) {
    for (bool copying : {false, true}) {
        ChunkQueue queue(copying);
        std::vector<uint8_t> source(200000);
        for (size_t i = 0; i < source.size(); ++i) {
            source[i] = uint8_t(i * 31 + i / 251);
        }
        std::thread pusher([&] {
            size_t at = 0;
            for (size_t n = 1; at < source.size(); n = n % 977 + 13) {
                const size_t take = std::min(n, source.size() - at);
                ASSERT_TRUE(queue.append(source.data() + at, take));
                at += take;
            }
        });
        std::vector<uint8_t> received;
        uint8_t buffer[1500];
        while (received.size() < source.size()) {
            size_t removed = 0;
            const size_t got = queue.read(buffer, sizeof buffer, removed);
            received.insert(received.end(), buffer, buffer + got);
            if (got == 0) {
                std::this_thread::yield();
            }
        }
        pusher.join();
        EXPECT_TRUE(received == source);
        EXPECT_EQ(queue.entries(), 0u);
    }
}
