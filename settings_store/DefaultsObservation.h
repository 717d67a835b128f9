#pragma once
// Following typed keys as their entries change, whoever changes them: handlers for
// one key or several, ties to an owner's lifetime, streams of changes, and the
// observable object that views bind to.
//
// Handlers run on the thread that changed the store (the main queue for changes
// made by other processes). Defaults::Observable moves its will-change signal to
// the main thread.

#include "Foundation/MainQueue.h"
#include "Foundation/Signal.h"
#include "settings_store/Defaults.h"

#include <atomic>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace overlook::Defaults {

enum class ObservationOption : unsigned { initial = 1, prior = 2 };

class ObservationOptions {
public:
    ObservationOptions() = default;
    ObservationOptions(std::initializer_list<ObservationOption> options) {
        for (auto o : options)
            bits_ |= static_cast<unsigned>(o);
    }
    bool contains(ObservationOption o) const { return (bits_ & static_cast<unsigned>(o)) != 0; }

private:
    unsigned bits_ = 0;
};

// A change as the store reports it.
struct BaseChange {
    unsigned kind = StoreChange::kSetting;
    std::optional<std::vector<std::size_t>> indexes;
    bool isPrior = false;
    std::optional<PropertyList> newValue;
    std::optional<PropertyList> oldValue;
};

// A change of a typed key; values that are missing or do not convert are the
// key's default.
template <class V>
struct KeyChange {
    unsigned kind = StoreChange::kSetting;
    std::optional<std::vector<std::size_t>> indexes;
    bool isPrior = false;
    V newValue;
    V oldValue;
    bool operator==(const KeyChange&) const = default;
};

template <class V>
KeyChange<V> typedChange(const BaseChange& change, const V& defaultValue) {
    return KeyChange<V>{change.kind, change.indexes, change.isPrior,
                        fromStored<V>(change.newValue).value_or(defaultValue),
                        fromStored<V>(change.oldValue).value_or(defaultValue)};
}

// Runs `action` so that the changes it makes on this thread reach no observer of
// this module. Other threads are not affected.
void withoutPropagation(const std::function<void()>& action);
bool isPropagationSuppressed();

// True on the thread that started the process.
bool isMainThread();

class LifetimeAssociation;

// Lets an object end the observations tied to it: keep one as a member; when it is
// destroyed, every tied observation is invalidated (and released).
class LifetimeOwner {
public:
    LifetimeOwner();
    ~LifetimeOwner();
    LifetimeOwner(const LifetimeOwner&) = delete;
    LifetimeOwner& operator=(const LifetimeOwner&) = delete;

private:
    friend class LifetimeAssociation;
    struct State;
    std::shared_ptr<State> state_;
};

// Holds the tied object while its owner lives; runs its handler when it goes.
class ObjectLifetimeTracker {
public:
    ObjectLifetimeTracker(std::shared_ptr<void> object, std::function<void()> deinitHandler)
        : object(std::move(object)), deinitHandler(std::move(deinitHandler)) {}
    ~ObjectLifetimeTracker() {
        if (deinitHandler)
            deinitHandler();
    }
    std::shared_ptr<void> object;
    std::function<void()> deinitHandler;
};

class LifetimeAssociation {
public:
    LifetimeAssociation(std::shared_ptr<void> object, LifetimeOwner& owner, std::function<void()> deinitHandler);
    ~LifetimeAssociation() = default;
    // Detaches from the owner without running the handler.
    void cancel();

private:
    std::weak_ptr<ObjectLifetimeTracker> wrappedObject_;
    std::weak_ptr<LifetimeOwner::State> owner_;
    std::uint64_t id_ = 0;
};

// An observation handle. Handles are shared objects: a tie to an owner keeps the
// handle alive until the owner goes; destroying the handle ends the observation.
class DefaultsObservation : public std::enable_shared_from_this<DefaultsObservation> {
public:
    virtual ~DefaultsObservation() = default;
    virtual void invalidate() = 0;
    void tieToLifetime(LifetimeOwner& owner);
    void removeLifetimeTie();

protected:
    void cancelLifetimeTie();

private:
    std::mutex lifetimeMutex_;
    std::unique_ptr<LifetimeAssociation> lifetimeAssociation_;
};

class UserDefaultsKeyObservation final : public DefaultsObservation {
public:
    using Callback = std::function<void(const BaseChange&)>;

    UserDefaultsKeyObservation(const std::shared_ptr<UserDefaults>& object, std::string key, Callback callback);
    ~UserDefaultsKeyObservation() override;

    // Old and new values are always asked for; `initial` wins over `prior`.
    void start(ObservationOptions options);
    void invalidate() override;

private:
    struct Forwarder;
    std::weak_ptr<UserDefaults> object_;
    std::string key_;
    std::shared_ptr<Forwarder> callback_;
    std::mutex mutex_;
    std::optional<UserDefaults::ObserverId> observerId_;
};

struct SuiteKeyPair {
    std::weak_ptr<UserDefaults> suite;
    std::string key;
};

class CompositeUserDefaultsKeyObservation final : public DefaultsObservation {
public:
    using Callback = std::function<void(const BaseChange&)>;

    CompositeUserDefaultsKeyObservation(std::vector<SuiteKeyPair> observables, Callback callback);
    ~CompositeUserDefaultsKeyObservation() override;

    void start(ObservationOptions options);
    void invalidate() override;

private:
    struct Forwarder;
    std::vector<SuiteKeyPair> observables_;
    std::shared_ptr<Forwarder> callback_;
    std::mutex mutex_;
    std::vector<std::pair<std::weak_ptr<UserDefaults>, UserDefaults::ObserverId>> registrations_;
};

// ---- observing typed keys ---------------------------------------------------------

template <class T>
std::shared_ptr<UserDefaultsKeyObservation> observe(const Key<T>& key, ObservationOptions options,
                                                    std::function<void(const KeyChange<T>&)> handler) {
    auto observation = std::make_shared<UserDefaultsKeyObservation>(
        key.suitePointer(), key.name(),
        [handler = std::move(handler), defaultValue = key.defaultValue()](const BaseChange& change) {
            handler(typedChange(change, defaultValue));
        });
    observation->start(options);
    return observation;
}

// One handler for changes of any of several keys.
std::shared_ptr<CompositeUserDefaultsKeyObservation> observe(const std::vector<const AnyKey*>& keys,
                                                             ObservationOptions options,
                                                             std::function<void()> handler);

// ---- streams of changes ---------------------------------------------------------------

class DefaultsSubscription {
public:
    using Subscriber = std::function<void(const BaseChange&)>;
    DefaultsSubscription(Subscriber subscriber, ObservationOptions options)
        : subscriber_(std::make_shared<Subscriber>(std::move(subscriber))), options_(options) {}
    ~DefaultsSubscription() { cancel(); }
    void cancel();

private:
    friend struct DefaultsPublisher;
    std::mutex mutex_;
    std::shared_ptr<Subscriber> subscriber_;
    std::shared_ptr<UserDefaultsKeyObservation> observation_;
    ObservationOptions options_;
};
using Cancellable = std::shared_ptr<DefaultsSubscription>;

struct DefaultsPublisher {
    std::weak_ptr<UserDefaults> suite;
    std::string key;
    ObservationOptions options;

    // `receiveSubscription` gets the subscription before the observation starts, so
    // an initial delivery reaches a subscriber that already holds it. Every change is
    // delivered; there is no demand.
    Cancellable subscribe(DefaultsSubscription::Subscriber receive,
                          const std::function<void(const Cancellable&)>& receiveSubscription = {}) const;
};

template <class T>
struct KeyPublisher {
    DefaultsPublisher upstream;
    T defaultValue;

    Cancellable sink(std::function<void(const KeyChange<T>&)> receive,
                     const std::function<void(const Cancellable&)>& receiveSubscription = {}) const {
        return upstream.subscribe(
            [receive = std::move(receive), d = defaultValue](const BaseChange& c) { receive(typedChange(c, d)); },
            receiveSubscription);
    }
};

template <class T>
KeyPublisher<T> publisher(const Key<T>& key, ObservationOptions options = {}) {
    return KeyPublisher<T>{DefaultsPublisher{key.suitePointer(), key.name(), options}, key.defaultValue()};
}

// An empty event for every change of any of the keys.
struct MergedPublisher {
    std::vector<DefaultsPublisher> upstreams;
    std::vector<Cancellable> sink(const std::function<void()>& receive) const;
};
MergedPublisher publisher(const std::vector<const AnyKey*>& keys, ObservationOptions options = {});

// ---- views ------------------------------------------------------------------------------

// What a view binds to: objectWillChange fires on the main thread just before each
// change of the key's entry, so the view redraws and reads the new value.
template <class T>
class Observable : public ObservableObject {
public:
    explicit Observable(Key<T> key) : key_(std::move(key)), alive_(std::make_shared<Observable*>(this)) {
        std::weak_ptr<Observable*> weak = alive_;
        cancellable_ = publisher(key_, {ObservationOption::prior}).sink([weak](const KeyChange<T>& change) {
            if (!change.isPrior)
                return;
            if (isMainThread()) {
                if (auto self = weak.lock())
                    (*self)->objectWillChange.emit();
                return;
            }
            // Views live on the main thread, so a live token there means a live object.
            mainQueue().async([weak] {
                if (auto self = weak.lock())
                    (*self)->objectWillChange.emit();
            });
        });
    }
    ~Observable() {
        cancellable_->cancel();
        alive_.reset();
    }
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    const Key<T>& key() const { return key_; }
    T value() const { return key_.get(); }
    void setValue(const T& value) { key_.set(value); }

private:
    Key<T> key_;
    std::shared_ptr<Observable*> alive_;
    Cancellable cancellable_;
};

} // namespace overlook::Defaults
