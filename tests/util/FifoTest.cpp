#include "util/Fifo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>

using namespace corvan;

TEST(Fifo, KeepsOrderThroughInterleavedPushesPopsAndErasures) {
    // Against a deque, in a mix that crosses every compaction point.
    TFifo<int> fifo;
    std::deque<int> model;
    std::mt19937 random(7);
    int next = 0;
    for (int step = 0; step < 20000; ++step) {
        unsigned r = random() % 100;
        if (r < 55) {
            fifo.push_back(next);
            model.push_back(next);
            ++next;
        } else if (r < 97) {
            if (model.empty())
                continue;
            ASSERT_EQ(fifo.front(), model.front());
            fifo.pop_front();
            model.pop_front();
        } else {
            // Drop the items divisible by 3, as a loop drops a closed socket's messages.
            auto odd = [](int v) { return v % 3 == 0; };
            fifo.erase(std::remove_if(fifo.begin(), fifo.end(), odd), fifo.end());
            model.erase(std::remove_if(model.begin(), model.end(), odd), model.end());
        }
        ASSERT_EQ(fifo.size(), model.size());
        ASSERT_EQ(fifo.empty(), model.empty());
        ASSERT_TRUE(std::equal(fifo.begin(), fifo.end(), model.begin(), model.end()));
    }
}

TEST(Fifo, MemoryFollowsWhatIsQueued) {
    TFifo<int> fifo;
    EXPECT_EQ(fifo.capacity(), 0u); // nothing until the first item
    fifo.push_back(1);
    EXPECT_EQ(fifo.capacity(), kFifoFirstCapacity);

    // A queue that never empties does not grow without bound as its front is consumed.
    for (int i = 0; i < 100000; ++i) {
        fifo.push_back(i);
        fifo.pop_front();
    }
    EXPECT_EQ(fifo.size(), 1u);
    EXPECT_LE(fifo.capacity(), 2 * kFifoFirstCapacity);

    // After a burst, emptying gives the large storage back; a small one is kept for reuse.
    for (int i = 0; i < 10000; ++i)
        fifo.push_back(i);
    while (!fifo.empty())
        fifo.pop_front();
    EXPECT_EQ(fifo.capacity(), 0u);
    fifo.push_back(1);
    fifo.pop_front();
    EXPECT_EQ(fifo.capacity(), kFifoFirstCapacity);
}
