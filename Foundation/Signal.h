#pragma once
// Signals, connections and published values for observable objects.
//
// A Connection is a handle that can disconnect its slot; a ScopedConnection
// disconnects when it goes away, so an observer that keeps its connections as
// members is disconnected together with itself. Destroying a signal invalidates
// every connection made to it.

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace overlook {

class Connection {
public:
    Connection() = default;
    explicit Connection(std::function<void()> disconnect, std::weak_ptr<void> alive)
        : disconnect_(std::move(disconnect)), alive_(std::move(alive)) {}

    void disconnect() {
        if (!alive_.expired() && disconnect_)
            disconnect_();
        disconnect_ = nullptr;
        alive_.reset();
    }
    bool connected() const { return disconnect_ && !alive_.expired(); }

private:
    std::function<void()> disconnect_;
    std::weak_ptr<void> alive_;
};

class ScopedConnection {
public:
    ScopedConnection() = default;
    ScopedConnection(Connection c) : connection_(std::move(c)) {}
    ScopedConnection(ScopedConnection&& other) noexcept
        : connection_(std::exchange(other.connection_, Connection{})) {}
    ScopedConnection& operator=(ScopedConnection&& other) noexcept {
        if (this != &other) {
            connection_.disconnect();
            connection_ = std::exchange(other.connection_, Connection{});
        }
        return *this;
    }
    ScopedConnection(const ScopedConnection&) = delete;
    ScopedConnection& operator=(const ScopedConnection&) = delete;
    ~ScopedConnection() { connection_.disconnect(); }

    void disconnect() { connection_.disconnect(); }
    bool connected() const { return connection_.connected(); }

private:
    Connection connection_;
};

template <class... Args>
class Signal {
public:
    using Slot = std::function<void(Args...)>;

    Signal() : state_(std::make_shared<State>()) {}
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    Connection connect(Slot slot) {
        std::lock_guard lock(state_->mutex);
        const std::uint64_t id = ++state_->nextId;
        state_->slots.push_back({id, std::make_shared<Slot>(std::move(slot))});
        std::weak_ptr<State> weak = state_;
        return Connection(
            [weak, id] {
                if (auto state = weak.lock()) {
                    std::lock_guard lock(state->mutex);
                    std::erase_if(state->slots, [id](const Entry& e) { return e.id == id; });
                }
            },
            state_);
    }

    // Calls every slot connected at the time of the call, in connection order.
    // Slots may connect or disconnect while being called.
    void emit(Args... args) const {
        std::vector<std::shared_ptr<Slot>> snapshot;
        {
            std::lock_guard lock(state_->mutex);
            snapshot.reserve(state_->slots.size());
            for (const auto& e : state_->slots)
                snapshot.push_back(e.slot);
        }
        for (const auto& slot : snapshot)
            (*slot)(args...);
    }
    void operator()(Args... args) const { emit(args...); }

    std::size_t slotCount() const {
        std::lock_guard lock(state_->mutex);
        return state_->slots.size();
    }

private:
    struct Entry {
        std::uint64_t id;
        std::shared_ptr<Slot> slot;
    };
    struct State {
        std::mutex mutex;
        std::vector<Entry> slots;
        std::uint64_t nextId = 0;
    };
    std::shared_ptr<State> state_;
};

// Base of observable objects: objectWillChange fires before every change.
class ObservableObject {
public:
    Signal<> objectWillChange;

protected:
    ObservableObject() = default;
    ~ObservableObject() = default;
};

// A published property of an observable object. Every assignment announces the
// change on the owner's objectWillChange (also when the value is equal), stores the
// value, then sends it on `changed`.
template <class T>
class Published {
public:
    Published(ObservableObject& owner, T initial) : owner_(owner), value_(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& get() const { return value_; }
    operator const T&() const { return value_; }

    void set(T value) {
        owner_.objectWillChange.emit();
        value_ = std::move(value);
        changed.emit(value_);
    }
    Published& operator=(T value) {
        set(std::move(value));
        return *this;
    }

    Signal<const T&> changed;

private:
    ObservableObject& owner_;
    T value_;
};

} // namespace overlook
