#pragma once
// Work run once on the main queue however often it is asked for before it runs,
// and never after its owner is gone. Views use it to redraw after a burst of
// will-change signals, reading the new values once they are stored. Main thread only.

#include "Foundation/MainQueue.h"

#include <functional>
#include <memory>

namespace overlook {

class CoalescedTask {
public:
    explicit CoalescedTask(std::function<void()> work)
        : state_(std::make_shared<State>(State{std::move(work), false})) {}

    void schedule() {
        if (state_->queued)
            return;
        state_->queued = true;
        mainQueue().async([weak = std::weak_ptr<State>(state_)] {
            if (auto state = weak.lock()) {
                state->queued = false;
                state->work();
            }
        });
    }

private:
    struct State {
        std::function<void()> work;
        bool queued;
    };
    std::shared_ptr<State> state_;
};

} // namespace overlook
