#pragma once
// A thread-safe list of callbacks with subscription tokens: dropping the token
// removes its callback, and a token that outlives the list does nothing.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace overlook {

template <class Callback>
class CallbackList {
public:
    // Adds `callback`; it stays until the returned token is dropped.
    std::shared_ptr<void> add(Callback callback) {
        std::uint64_t key;
        {
            std::lock_guard lock(state_->mutex);
            key = ++state_->nextKey;
            state_->callbacks.emplace(key, std::move(callback));
        }
        std::weak_ptr<State> weak = state_;
        return std::shared_ptr<void>(nullptr, [weak, key](void*) {
            if (auto state = weak.lock()) {
                std::lock_guard lock(state->mutex);
                state->callbacks.erase(key);
            }
        });
    }

    // The callbacks at this moment, to be called without holding any lock.
    std::vector<Callback> snapshot() const {
        std::lock_guard lock(state_->mutex);
        std::vector<Callback> list;
        for (const auto& [key, callback] : state_->callbacks)
            list.push_back(callback);
        return list;
    }

private:
    struct State {
        std::mutex mutex;
        std::map<std::uint64_t, Callback> callbacks;
        std::uint64_t nextKey = 0;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

} // namespace overlook
