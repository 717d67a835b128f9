#include "Foundation/DispatchQueue.h"
#include "Foundation/MainQueue.h"

#include <atomic>
#include <set>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace overlook;

TEST(DispatchQueue, RunsWorkSeriallyInOrderOnOneThread) {
    DispatchQueue queue("StreamQueue 7");
    EXPECT_EQ(queue.label(), "StreamQueue 7");
    std::vector<int> order;
    std::set<std::thread::id> threads;
    std::atomic<int> concurrent{0}, maxConcurrent{0};
    for (int i = 0; i < 200; ++i)
        queue.async([&, i] {
            int now = ++concurrent;
            maxConcurrent = std::max(maxConcurrent.load(), now);
            order.push_back(i);
            threads.insert(std::this_thread::get_id());
            --concurrent;
        });
    queue.sync([] {});
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    EXPECT_EQ(maxConcurrent.load(), 1);
}

TEST(DispatchQueue, SyncFromItsOwnThreadRunsInline) {
    DispatchQueue queue("q");
    bool ran = false;
    queue.sync([&] { queue.sync([&] { ran = queue.isCurrent(); }); });
    EXPECT_TRUE(ran);
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
    std::atomic<bool> done{false};
    std::weak_ptr<DispatchQueue> weak = queue;
    queue->async([q = std::move(queue), &done]() mutable {
        q.reset(); // the last reference: the queue is destroyed on its own worker
        done = true;
    });
    while (!done)
        std::this_thread::yield();
    // The last reference was inside the work item; the queue is gone, no crash.
    for (int i = 0; i < 100 && !weak.expired(); ++i)
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
    EXPECT_EQ(queue.pendingCount(), 2u);
    EXPECT_EQ(queue.drain(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(queue.drain(), 0u);
}
