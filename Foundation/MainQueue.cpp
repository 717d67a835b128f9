#include "MainQueue.h"

#include <atomic>

namespace overlook {

void ManualMainQueue::async(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(work));
}

std::size_t ManualMainQueue::runPending() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(pending_);
    }
    for (auto& work : batch)
        work();
    return batch.size();
}

std::size_t ManualMainQueue::drain() {
    std::size_t total = 0;
    while (std::size_t n = runPending())
        total += n;
    return total;
}

std::size_t ManualMainQueue::pendingCount() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

namespace {
// Both live until the process ends and are never destroyed: worker threads (the
// settings watcher, stream queues) may still post while static objects are being
// torn down at exit.
std::shared_ptr<ManualMainQueue> builtInQueue() {
    static auto* queue = new std::shared_ptr<ManualMainQueue>(std::make_shared<ManualMainQueue>());
    return *queue;
}
std::mutex gMainMutex;
std::shared_ptr<MainQueue>& installedMain() {
    static auto* installed = new std::shared_ptr<MainQueue>();
    return *installed;
}
} // namespace

ManualMainQueue& manualMainQueue() { return *builtInQueue(); }

MainQueue& mainQueue() {
    std::lock_guard lock(gMainMutex);
    auto& main = installedMain();
    if (!main)
        main = builtInQueue();
    return *main;
}

std::shared_ptr<MainQueue> setMainQueue(std::shared_ptr<MainQueue> queue) {
    std::lock_guard lock(gMainMutex);
    auto& main = installedMain();
    auto previous = main ? main : builtInQueue();
    main = queue ? std::move(queue) : builtInQueue();
    return previous;
}

} // namespace overlook
