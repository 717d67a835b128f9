#include "DispatchQueue.h"

#include <future>
#include <pthread.h>

namespace overlook {

DispatchQueue::DispatchQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
    worker_ = std::thread([state = state_] { run(state); });
    // Thread names are limited to 15 characters; it is only a debugging aid.
    pthread_setname_np(worker_.native_handle(), label_.substr(0, 15).c_str());
}

DispatchQueue::~DispatchQueue() { shutdown(Shutdown::RunPending); }

bool DispatchQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->stopping)
            return false;
        state_->pending.push_back(std::move(work));
    }
    state_->wake.notify_one();
    return true;
}

void DispatchQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    if (!async([&] {
            work();
            done.set_value();
        }))
        return;
    finished.wait();
}

void DispatchQueue::shutdown(Shutdown mode) {
    {
        std::lock_guard lock(state_->mutex);
        if (mode == Shutdown::DropPending)
            state_->pending.clear();
        state_->stopping = true;
    }
    state_->wake.notify_one();
    if (!worker_.joinable())
        return;
    if (isCurrent())
        worker_.detach(); // shut down from its own work: the loop ends after draining
    else
        worker_.join();
}

std::size_t DispatchQueue::pendingCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->pending.size();
}

void DispatchQueue::run(const std::shared_ptr<State>& state) {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stopping || !state->pending.empty(); });
            if (state->pending.empty())
                return; // stopping and drained
            work = std::move(state->pending.front());
            state->pending.pop_front();
        }
        work();
    }
}

} // namespace overlook
