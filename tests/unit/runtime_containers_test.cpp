#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "runtime/sharded_map.hpp"
#include "runtime/thread_queue.hpp"

namespace {

using namespace std::chrono_literals;
using tarnvale::runtime::ShardedMap;
using tarnvale::runtime::ThreadQueue;

TEST(ShardedMap, EachEntryIsTakenOnce) {
    ShardedMap<std::uint16_t, int> map;
    for (std::uint16_t id = 0; id < 100; ++id) {
        map.insert_or_assign(id, id * 10);
    }
    map.insert_or_assign(7, 7000);  // replaces
    EXPECT_EQ(map.take(7), 7000);
    EXPECT_FALSE(map.take(7).has_value());
    const auto odd = map.take_if([](std::uint16_t id, int) { return id % 2 == 1; });
    EXPECT_EQ(odd.size(), 49u);
    EXPECT_FALSE(map.take(9).has_value());
    EXPECT_EQ(map.take(8), 80);
}

TEST(ThreadQueue, ProducersDropWhenFullOrClosedAndCloseWakesTheConsumer) {
    ThreadQueue<int> queue(2);
    EXPECT_TRUE(queue.try_push(1));
    EXPECT_TRUE(queue.try_push(2));
    EXPECT_FALSE(queue.try_push(3));
    EXPECT_EQ(queue.try_pop(), 1);
    EXPECT_EQ(queue.pop_for(10ms), 2);
    EXPECT_FALSE(queue.pop_for(10ms).has_value());

    std::thread closer([&queue] {
        std::this_thread::sleep_for(50ms);
        queue.close();
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.pop_for(30s).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << "close must wake a waiting consumer";
    closer.join();
    EXPECT_FALSE(queue.try_push(4));
}

}  // namespace
