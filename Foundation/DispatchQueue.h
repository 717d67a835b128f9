#pragma once
// A serial, labelled queue with one worker thread.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace overlook {

class DispatchQueue {
public:
    enum class Shutdown { RunPending, DropPending };

    explicit DispatchQueue(std::string label);
    // Runs the work that is still pending, then joins the worker.
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const { return label_; }

    // Queues work; returns false (and drops the work) once the queue is shut down.
    bool async(std::function<void()> work);
    // Runs work on the queue and waits for it. Called from the queue's own thread
    // the work runs inline, which is what a caller already on the queue expects.
    void sync(const std::function<void()>& work);

    // Stops the queue: pending work runs (RunPending) or is dropped (DropPending),
    // work that is running finishes, later `async` calls are refused. Idempotent.
    void shutdown(Shutdown mode = Shutdown::RunPending);

    bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }
    std::size_t pendingCount() const;

private:
    // Shared with the worker, so that a queue released by its own last work item
    // (the worker then detaches) never runs against freed memory.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> pending;
        bool stopping = false;
    };
    static void run(const std::shared_ptr<State>& state);

    std::string label_;
    std::shared_ptr<State> state_;
    std::thread worker_;
};

} // namespace overlook
