#pragma once
// The main queue: work that must run on the main (UI) thread. The application
// binds it to the Qt event loop; tests and command-line jobs drain it by hand.

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace overlook {

class MainQueue {
public:
    virtual ~MainQueue() = default;
    // Thread-safe; the work runs later, on the main thread, in the order queued.
    virtual void async(std::function<void()> work) = 0;
};

// A main queue that runs its work only when drained. Thread-safe.
class ManualMainQueue final : public MainQueue {
public:
    void async(std::function<void()> work) override;
    // Runs queued work, including work queued while draining, until none is left.
    // Returns how many items ran.
    std::size_t drain();
    // Runs at most the work queued now; returns how many items ran.
    std::size_t runPending();
    std::size_t pendingCount() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> pending_;
};

// The process-wide main queue. Until one is installed it is a ManualMainQueue.
MainQueue& mainQueue();
// Installs `queue` (nullptr restores the built-in manual queue). Returns the previous one.
std::shared_ptr<MainQueue> setMainQueue(std::shared_ptr<MainQueue> queue);
// The built-in manual queue, for tests and command-line jobs.
ManualMainQueue& manualMainQueue();

} // namespace overlook
