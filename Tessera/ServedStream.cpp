#include "ServedStream.h"

namespace overlook {

ServedStream::~ServedStream() {
    forget_(state_.get());
    state_->removed = true;
    state_->delivery.close();
    wake_();
}

void ServedStream::start() {
    ++state_->starts;
    state_->started = true;
    wake_();
}

void ServedStream::stop() {
    if (state_->started.exchange(false))
        state_->delivery.post(FrameStatus::Stopped, nullptr);
    wake_();
}

} // namespace overlook
