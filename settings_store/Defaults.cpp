#include "settings_store/Defaults.h"
#include "settings_store/DefaultsObservation.h"

#include <cctype>
#include <cstdio>
#include <random>
#include <thread>

namespace overlook {
namespace Defaults {

// ---- keys ----

AnyKey::AnyKey(std::string name, std::shared_ptr<UserDefaults> suite)
    : name_(std::move(name)), suite_(suite ? std::move(suite) : UserDefaults::standard()) {}

void reset(const std::vector<const AnyKey*>& keys) {
    for (const AnyKey* key : keys)
        key->reset();
}

void reset(const std::vector<std::string>& names, UserDefaults& suite) {
    for (const auto& name : names)
        suite.removeObject(name);
}

void removeAll(UserDefaults& suite) {
    for (const auto& [name, value] : suite.dictionaryRepresentation())
        suite.removeObject(name);
}

namespace detail {

void printEncodingError(const char* description) {
    std::printf("%s\n", description);
    std::fflush(stdout);
}

constexpr const char* kArchiver = "OverlookKeyedArchive";

std::optional<Data> archive(std::string_view className, const PropertyList& fields) {
    PropertyList document(PropertyList::Dictionary{
        {"$archiver", kArchiver}, {"$version", 1}, {"$class", std::string(className)}, {"$root", fields}});
    if (unstorableReason(document))
        return std::nullopt; // archiving failures are silent
    return toBinary(document);
}

std::optional<PropertyList> unarchive(std::string_view className, const Data& bytes) {
    auto parsed = parsePropertyList(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    std::string problem;
    const PropertyList::Dictionary* document = parsed.value ? parsed.value->get<PropertyList::Dictionary>() : nullptr;
    if (!document) {
        problem = parsed.value ? "the archive is not a keyed archive" : "the archive is unreadable: " + parsed.error;
    } else {
        auto archiver = document->find("$archiver");
        auto cls = document->find("$class");
        auto root = document->find("$root");
        if (archiver == document->end() || archiver->second != PropertyList(kArchiver) || root == document->end())
            problem = "the archive is not a keyed archive";
        else if (cls == document->end() || cls->second != PropertyList(std::string(className)))
            problem = "the archive holds no object of class " + std::string(className);
        else
            return root->second;
    }
    std::printf("%s\n", problem.c_str());
    std::fflush(stdout);
    return std::nullopt;
}

} // namespace detail

// ---- URL and UUID ----

std::optional<URL> URL::parse(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    for (std::size_t i = 1; i < colon; ++i) {
        const char c = text[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return std::nullopt;
    }
    for (unsigned char c : text)
        if (c <= 0x20 || c == 0x7f)
            return std::nullopt;
    return URL(text);
}

void to_json(nlohmann::json& j, const URL& url) { j = url.absoluteString(); }
void from_json(const nlohmann::json& j, URL& url) {
    auto parsed = URL::parse(j.get<std::string>());
    if (!parsed)
        throw std::invalid_argument("not a URL");
    url = *parsed;
}

UUID UUID::random() {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    UUID id;
    for (std::size_t i = 0; i < 16; i += 8) {
        const std::uint64_t r = engine();
        for (std::size_t b = 0; b < 8; ++b)
            id.bytes_[i + b] = static_cast<std::uint8_t>(r >> (b * 8));
    }
    id.bytes_[6] = static_cast<std::uint8_t>((id.bytes_[6] & 0x0F) | 0x40); // version 4
    id.bytes_[8] = static_cast<std::uint8_t>((id.bytes_[8] & 0x3F) | 0x80); // RFC 4122 variant
    return id;
}

std::optional<UUID> UUID::parse(const std::string& text) {
    if (text.size() != 36)
        return std::nullopt;
    UUID id;
    std::size_t byte = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-')
                return std::nullopt;
            ++i;
            continue;
        }
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'a' && c <= 'f')
                return c - 'a' + 10;
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            return -1;
        };
        const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        id.bytes_[byte++] = static_cast<std::uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return id;
}

std::string UUID::uuidString() const {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            s += '-';
        s += kHex[bytes_[i] >> 4];
        s += kHex[bytes_[i] & 0x0F];
    }
    return s;
}

// ---- propagation and threads ----

namespace {
// The per-thread "updating values" flag: changes made while it is set are not
// propagated to observers of this module.
thread_local bool tUpdatingValues = false;
const std::thread::id gMainThread = std::this_thread::get_id();
} // namespace

void withoutPropagation(const std::function<void()>& action) {
    struct Restore {
        bool previous;
        ~Restore() { tUpdatingValues = previous; }
    } restore{tUpdatingValues};
    tUpdatingValues = true;
    action();
}

bool isPropagationSuppressed() { return tUpdatingValues; }

bool isMainThread() { return std::this_thread::get_id() == gMainThread; }

// ---- lifetime ties ----

struct LifetimeOwner::State {
    std::mutex mutex;
    std::map<std::uint64_t, std::shared_ptr<ObjectLifetimeTracker>> trackers;
    std::uint64_t nextId = 0;
};

LifetimeOwner::LifetimeOwner() : state_(std::make_shared<State>()) {}

LifetimeOwner::~LifetimeOwner() {
    std::map<std::uint64_t, std::shared_ptr<ObjectLifetimeTracker>> trackers;
    {
        std::lock_guard lock(state_->mutex);
        trackers.swap(state_->trackers);
    }
    state_.reset();
    trackers.clear(); // runs every tracker's handler, outside the lock
}

LifetimeAssociation::LifetimeAssociation(std::shared_ptr<void> object, LifetimeOwner& owner,
                                         std::function<void()> deinitHandler) {
    auto tracker = std::make_shared<ObjectLifetimeTracker>(std::move(object), std::move(deinitHandler));
    wrappedObject_ = tracker;
    owner_ = owner.state_;
    std::lock_guard lock(owner.state_->mutex);
    id_ = ++owner.state_->nextId;
    owner.state_->trackers.emplace(id_, std::move(tracker));
}

void LifetimeAssociation::cancel() {
    std::shared_ptr<ObjectLifetimeTracker> released;
    if (auto owner = owner_.lock()) {
        std::lock_guard lock(owner->mutex);
        if (auto it = owner->trackers.find(id_); it != owner->trackers.end()) {
            released = std::move(it->second);
            owner->trackers.erase(it);
        }
    }
    if (released)
        released->deinitHandler = nullptr;
    owner_.reset();
    wrappedObject_.reset();
}

void DefaultsObservation::tieToLifetime(LifetimeOwner& owner) {
    std::weak_ptr<DefaultsObservation> weak = weak_from_this();
    auto association = std::make_unique<LifetimeAssociation>(shared_from_this(), owner, [weak] {
        if (auto self = weak.lock())
            self->invalidate();
    });
    std::unique_ptr<LifetimeAssociation> previous;
    {
        std::lock_guard lock(lifetimeMutex_);
        previous = std::exchange(lifetimeAssociation_, std::move(association));
    }
    if (previous)
        previous->cancel();
}

void DefaultsObservation::removeLifetimeTie() { cancelLifetimeTie(); }

void DefaultsObservation::cancelLifetimeTie() {
    std::unique_ptr<LifetimeAssociation> association;
    {
        std::lock_guard lock(lifetimeMutex_);
        association = std::move(lifetimeAssociation_);
    }
    if (association)
        association->cancel();
}

// ---- single-key observation ----

// Shared with the store's registration, so that a delivery already under way on
// another thread never reaches a destroyed handle.
struct UserDefaultsKeyObservation::Forwarder {
    std::atomic<bool> active{true};
    UserDefaultsKeyObservation::Callback callback;
};

namespace {
BaseChange baseChange(const StoreChange& c) {
    BaseChange change;
    change.kind = c.kind;
    change.isPrior = c.isPrior;
    change.newValue = c.newValue;
    change.oldValue = c.oldValue;
    return change;
}

ObservingOptions storeOptions(ObservationOptions options) {
    ObservingOptions o = ObservingOptions::New | ObservingOptions::Old;
    if (options.contains(ObservationOption::initial))
        o = o | ObservingOptions::Initial;
    else if (options.contains(ObservationOption::prior))
        o = o | ObservingOptions::Prior;
    return o;
}
} // namespace

UserDefaultsKeyObservation::UserDefaultsKeyObservation(const std::shared_ptr<UserDefaults>& object, std::string key,
                                                       Callback callback)
    : object_(object), key_(std::move(key)), callback_(std::make_shared<Forwarder>()) {
    callback_->callback = std::move(callback);
}

UserDefaultsKeyObservation::~UserDefaultsKeyObservation() { invalidate(); }

void UserDefaultsKeyObservation::start(ObservationOptions options) {
    auto suite = object_.lock();
    if (!suite)
        return;
    std::weak_ptr<UserDefaults> weakSuite = object_;
    std::shared_ptr<Forwarder> forwarder = callback_;
    auto id = suite->addObserver(key_, storeOptions(options), [weakSuite, forwarder](const StoreChange& c) {
        if (!forwarder->active)
            return;
        auto observed = weakSuite.lock();
        if (!observed || c.object != observed.get())
            return;
        if (isPropagationSuppressed())
            return;
        forwarder->callback(baseChange(c));
    });
    {
        // The initial delivery runs inside addObserver, before the id is known
        // here: a handle invalidated there (or meanwhile on another thread) found
        // nothing to remove, so it is removed now.
        std::lock_guard lock(mutex_);
        if (forwarder->active) {
            observerId_ = id;
            return;
        }
    }
    suite->removeObserver(id);
}

void UserDefaultsKeyObservation::invalidate() {
    callback_->active = false;
    std::optional<UserDefaults::ObserverId> id;
    {
        std::lock_guard lock(mutex_);
        id = std::exchange(observerId_, std::nullopt);
    }
    if (auto suite = object_.lock(); suite && id)
        suite->removeObserver(*id);
    object_.reset();
    cancelLifetimeTie();
}

// ---- composite observation ----

namespace {
// Marks the composite handle's registrations, so that it accepts only its own.
const char kCompositeContext = 0;
} // namespace

struct CompositeUserDefaultsKeyObservation::Forwarder {
    std::atomic<bool> active{true};
    CompositeUserDefaultsKeyObservation::Callback callback;
};

CompositeUserDefaultsKeyObservation::CompositeUserDefaultsKeyObservation(std::vector<SuiteKeyPair> observables,
                                                                         Callback callback)
    : observables_(std::move(observables)), callback_(std::make_shared<Forwarder>()) {
    callback_->callback = std::move(callback);
}

CompositeUserDefaultsKeyObservation::~CompositeUserDefaultsKeyObservation() { invalidate(); }

void CompositeUserDefaultsKeyObservation::start(ObservationOptions options) {
    std::shared_ptr<Forwarder> forwarder = callback_;
    for (const auto& pair : observables_) {
        if (!forwarder->active)
            return; // invalidated by an earlier pair's initial delivery
        auto suite = pair.suite.lock();
        if (!suite)
            continue;
        auto id = suite->addObserver(
            pair.key, storeOptions(options),
            [forwarder](const StoreChange& c) {
                if (!forwarder->active || c.context != &kCompositeContext || !c.object)
                    return;
                if (isPropagationSuppressed())
                    return;
                forwarder->callback(baseChange(c));
            },
            &kCompositeContext);
        {
            // As for a single key: an invalidation during the initial delivery
            // could not see this registration yet.
            std::lock_guard lock(mutex_);
            if (forwarder->active) {
                registrations_.emplace_back(suite, id);
                continue;
            }
        }
        suite->removeObserver(id);
        return;
    }
}

void CompositeUserDefaultsKeyObservation::invalidate() {
    callback_->active = false;
    std::vector<std::pair<std::weak_ptr<UserDefaults>, UserDefaults::ObserverId>> registrations;
    {
        std::lock_guard lock(mutex_);
        registrations.swap(registrations_);
    }
    for (auto& [weak, id] : registrations)
        if (auto suite = weak.lock())
            suite->removeObserver(id);
    cancelLifetimeTie();
}

std::shared_ptr<CompositeUserDefaultsKeyObservation> observe(const std::vector<const AnyKey*>& keys,
                                                             ObservationOptions options,
                                                             std::function<void()> handler) {
    std::vector<SuiteKeyPair> pairs;
    for (const AnyKey* key : keys)
        pairs.push_back({key->suitePointer(), key->name()});
    auto observation = std::make_shared<CompositeUserDefaultsKeyObservation>(
        std::move(pairs), [handler = std::move(handler)](const BaseChange&) { handler(); });
    observation->start(options);
    return observation;
}

// ---- streams ----

void DefaultsSubscription::cancel() {
    std::shared_ptr<UserDefaultsKeyObservation> observation;
    {
        std::lock_guard lock(mutex_);
        observation = std::move(observation_);
        subscriber_.reset();
    }
    if (observation)
        observation->invalidate();
}

Cancellable DefaultsPublisher::subscribe(DefaultsSubscription::Subscriber receive,
                                         const std::function<void(const Cancellable&)>& receiveSubscription) const {
    auto subscription = std::make_shared<DefaultsSubscription>(std::move(receive), options);
    auto suitePointer = suite.lock();
    if (!suitePointer)
        return subscription;
    std::weak_ptr<DefaultsSubscription> weak = subscription;
    auto observation =
        std::make_shared<UserDefaultsKeyObservation>(suitePointer, key, [weak](const BaseChange& change) {
            auto self = weak.lock();
            if (!self)
                return;
            std::shared_ptr<DefaultsSubscription::Subscriber> subscriber;
            {
                std::lock_guard lock(self->mutex_);
                subscriber = self->subscriber_;
            }
            if (subscriber)
                (*subscriber)(change);
        });
    {
        std::lock_guard lock(subscription->mutex_);
        subscription->observation_ = observation;
    }
    if (receiveSubscription)
        receiveSubscription(subscription);
    observation->start(options);
    return subscription;
}

std::vector<Cancellable> MergedPublisher::sink(const std::function<void()>& receive) const {
    std::vector<Cancellable> subscriptions;
    for (const auto& upstream : upstreams)
        subscriptions.push_back(upstream.subscribe([receive](const BaseChange&) { receive(); }));
    return subscriptions;
}

MergedPublisher publisher(const std::vector<const AnyKey*>& keys, ObservationOptions options) {
    MergedPublisher merged;
    for (const AnyKey* key : keys)
        merged.upstreams.push_back(DefaultsPublisher{key->suitePointer(), key->name(), options});
    return merged;
}

} // namespace Defaults
} // namespace overlook
