#pragma once
// The per-user defaults store: named property-list entries in suites, a
// registration domain, persistence as one XML property list per suite under
// $XDG_CONFIG_HOME/overlook/, and key-value observation of single entries.
//
// Thread-safe: every operation may be called from any thread. Observers of a change
// made in this process are called on the thread that made it; changes written by
// another process are delivered on the main queue.

#include "Foundation/DefaultsStore.h"
#include "settings_store/PropertyList.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace overlook {

class UserDefaults;

// What an observer asks to be told (flags, combined with |).
enum class ObservingOptions : unsigned { None = 0, New = 1, Old = 2, Initial = 4, Prior = 8 };
constexpr ObservingOptions operator|(ObservingOptions a, ObservingOptions b) {
    return static_cast<ObservingOptions>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool contains(ObservingOptions set, ObservingOptions flag) {
    return (static_cast<unsigned>(set) & static_cast<unsigned>(flag)) != 0;
}

// One notification about one entry. The values are what an unqualified read
// (`object`) answers before and after, so registered defaults show through.
struct StoreChange {
    static constexpr unsigned kSetting = 1;
    unsigned kind = kSetting;
    bool isPrior = false;
    std::optional<PropertyList> oldValue;
    std::optional<PropertyList> newValue;
    const void* context = nullptr;
    UserDefaults* object = nullptr;
};

// There is no private place for the settings: neither XDG_CONFIG_HOME nor HOME
// names an absolute folder. The message says so in words a user can act on.
struct SettingsLocationError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The outcome of a write: refused values are reported, never written in part.
struct StoreResult {
    std::string error;
    bool ok() const { return error.empty(); }
    explicit operator bool() const { return ok(); }
};

class UserDefaults final : public DefaultsStore, public std::enable_shared_from_this<UserDefaults> {
public:
    using ObserverId = std::uint64_t;
    using Observer = std::function<void(const StoreChange&)>;

    // The application's own suite.
    static constexpr const char* kStandardSuite = "io.overlook.Overlook";

    // $XDG_CONFIG_HOME/overlook, or ~/.config/overlook. Throws SettingsLocationError
    // when neither variable is an absolute path: a shared fallback such as /tmp
    // could be created first by another user.
    static std::filesystem::path defaultDirectory();
    // The standard suite in the default directory; one instance per process.
    // Throws SettingsLocationError as defaultDirectory() does.
    static std::shared_ptr<UserDefaults> standard();
    // A named suite in the default directory (nullptr for a name that cannot be a
    // file name). While a suite is alive, asking again gives the same instance.
    // Throws SettingsLocationError as defaultDirectory() does.
    static std::shared_ptr<UserDefaults> suite(const std::string& name);
    // Larger settings files are set aside as corrupt rather than read, so a write
    // that would make the file larger is refused.
    static constexpr std::size_t kMaximumFileSize = 8u << 20;

    // A suite stored in `directory`, for tests and tools.
    static std::shared_ptr<UserDefaults> open(const std::filesystem::path& directory, const std::string& name);
    // Writes what every live suite has pending; runs at exit.
    static void synchronizeAll();

    ~UserDefaults() override;
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    const std::string& suiteName() const { return name_; }
    const std::filesystem::path& path() const { return path_; }

    // The entry, else the registered default, else nothing.
    std::optional<PropertyList> object(const std::string& key) const;
    // Refuses (and changes nothing) when `value` cannot be stored.
    StoreResult set(const std::string& key, PropertyList value);
    void removeObject(const std::string& key);
    // Registered defaults overlaid with the entries.
    PropertyList::Dictionary dictionaryRepresentation() const;
    // The entries alone (what the file holds once written).
    PropertyList::Dictionary persistentDomain() const;
    // Adds to the registration domain. Registered values are never written.
    void registerDefaults(const PropertyList::Dictionary& defaults);

    // Typed reads with the usual conversions: numbers, and for booleans the strings
    // "true"/"YES"/"1" (any case of the first two); a missing or other entry reads
    // false or 0.
    bool boolForKey(const std::string& key) const override;
    float floatForKey(const std::string& key) const override;
    double doubleForKey(const std::string& key) const;
    std::int64_t integerForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;

    // Writes pending changes now, merged with what other processes wrote. Returns
    // false (after logging why) when the file could not be written.
    bool synchronize();
    // Picks up what other processes wrote (inotify does this by itself once
    // anything observes the suite).
    void reloadFromDisk();
    // How long a burst of writes is gathered before the file is written.
    void setCoalescingDelay(std::chrono::milliseconds delay);

    // Key-value observation of one entry. New and Old are always delivered;
    // Initial calls the observer at once with the current value; Prior adds a call
    // before each change. `context` is handed back in every change.
    ObserverId addObserver(const std::string& key, ObservingOptions options, Observer observer,
                           const void* context = nullptr);
    void removeObserver(ObserverId id);
    // How many observers are registered for `key`.
    std::size_t observerCount(const std::string& key) const;

private:
    struct Token {};

public:
    UserDefaults(Token, std::filesystem::path directory, std::string name);

private:
    struct Registration {
        std::string key;
        ObservingOptions options;
        std::shared_ptr<Observer> observer;
        const void* context;
    };
    struct PendingChange {
        std::string key;
        std::optional<PropertyList> oldValue;
        std::optional<PropertyList> newValue;
    };

    std::optional<PropertyList> effectiveLocked(const std::string& key) const;
    std::vector<Registration> observersOf(const std::string& key) const;
    void notify(const std::vector<Registration>& observers, const std::string& key, bool prior,
                const std::optional<PropertyList>& oldValue, const std::optional<PropertyList>& newValue);
    void change(const std::string& key, std::optional<PropertyList> value);
    void scheduleWrite();
    void writerLoop();
    void startWatching();
    void watchLoop(int inotifyFd, int stopFd, const std::string& targetName);
    // Reads the file; a corrupt, unreadable or oversized one, or anything but a
    // regular file, is moved aside and reads empty.
    std::optional<PropertyList::Dictionary> readFile();
    // Removes temporary files left by writers that died mid-write. Called with the
    // file lock held, so no live writer is between creating and renaming one.
    void removeStaleTemporaries();
    void removeStaleTemporaries(const std::filesystem::path& file);
    // Where a write goes: the settings file, or the regular file it links to.
    std::filesystem::path writeTarget() const;
    void moveAside(const std::string& reason);
    bool writeFile(const PropertyList::Dictionary& contents);
    // Takes in what the file holds for every entry without a pending local change and
    // announces the differences on the main queue.
    void absorb(const PropertyList::Dictionary& onDisk);
    void deliverExternal(std::vector<PendingChange> changes);

    const std::filesystem::path directory_;
    const std::string name_;
    const std::filesystem::path path_;

    mutable std::mutex mutex_;
    PropertyList::Dictionary entries_;
    PropertyList::Dictionary registered_;
    std::map<std::string, std::uint64_t> dirty_; // key -> generation of its latest local change
    std::uint64_t generation_ = 0;
    std::map<ObserverId, Registration> observers_;
    ObserverId nextObserver_ = 0;

    // One file operation at a time in this process; other processes are kept out
    // by an advisory lock on a file beside the settings.
    std::mutex fileMutex_;

    std::condition_variable writerWake_;
    std::chrono::milliseconds coalescingDelay_{100};
    bool stopping_ = false;
    bool writeRequested_ = false;
    std::thread writer_;

    std::thread watcher_;
    int watchStopFd_ = -1;
};

} // namespace overlook
