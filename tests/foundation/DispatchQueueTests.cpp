#include "Foundation/DispatchQueue.h"
#include "Foundation/MainQueue.h"

#include <atomic>
#include <gtest/gtest.h>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

using namespace overlook;

TEST(DispatchQueue, RunsWorkSeriallyInOrderOnOneThreadAndSyncOnItInline) {
    DispatchQueue queue("q");
    std::vector<int> order, expected(200);
    std::iota(expected.begin(), expected.end(), 0);
    std::set<std::thread::id> threads;
    for (int i = 0; i < 200; ++i)
        queue.async([&, i] { order.push_back(i); threads.insert(std::this_thread::get_id()); });
    queue.sync([] {});
    EXPECT_EQ(order, expected);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    bool inline_ = false;
    queue.sync([&] { queue.sync([&] { inline_ = queue.isCurrent(); }); });
    EXPECT_TRUE(inline_);
}

TEST(DispatchQueue, ShutdownRunsOrDropsPendingWorkDeterministically) {
    for (auto mode : {DispatchQueue::Shutdown::RunPending, DispatchQueue::Shutdown::DropPending}) {
        DispatchQueue queue("q");
        std::atomic<bool> release{false}, running{false};
        std::atomic<int> ran{0};
        queue.async([&] {
            running = true;
            while (!release)
                std::this_thread::yield();
            ++ran;
        });
        for (int i = 0; i < 5; ++i)
            queue.async([&] { ++ran; });
        while (!running)
            std::this_thread::yield();
        std::thread closer([&] { queue.shutdown(mode); });
        // The running item finishes either way; later work is refused.
        while (queue.async([] {}))
            std::this_thread::yield();
        release = true;
        closer.join();
        EXPECT_EQ(ran.load(), mode == DispatchQueue::Shutdown::RunPending ? 6 : 1);
        EXPECT_FALSE(queue.async([&] { ++ran; }));
    }
}

TEST(DispatchQueue, AQueueReleasedByItsOwnWorkShutsDownSafely) {
    auto queue = std::make_shared<DispatchQueue>("self");
    std::weak_ptr<DispatchQueue> weak = queue;
    queue->async([q = std::move(queue)]() mutable { q.reset(); }); // destroyed on its own worker
    for (int i = 0; i < 1000 && !weak.expired(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(weak.expired());
}

TEST(ManualMainQueue, DrainRunsNestedWorkInOrder) {
    ManualMainQueue queue;
    std::vector<int> order;
    queue.async([&] {
        order.push_back(1);
        queue.async([&] { order.push_back(3); });
    });
    queue.async([&] { order.push_back(2); });
    queue.drain();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}
