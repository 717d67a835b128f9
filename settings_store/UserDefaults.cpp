#include "settings_store/UserDefaults.h"

#include "Foundation/Logger.h"
#include "Foundation/MainQueue.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace overlook {

namespace {

const Logger& log() {
    static const Logger logger(logs::kApplication, "UserDefaults");
    return logger;
}

std::mutex gRegistryMutex;
std::map<std::string, std::weak_ptr<UserDefaults>>& registry() {
    static auto* suites = new std::map<std::string, std::weak_ptr<UserDefaults>>;
    return *suites;
}

bool validSuiteName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos && name.size() < 200;
}

// An exclusive advisory lock on "<settings file>.lock", held while a process reads,
// merges and replaces the settings file.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0)
            return;
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0)
            ::close(fd_); // closing releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool locked() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

std::filesystem::path lockPathFor(const std::filesystem::path& path) {
    return path.string() + ".lock";
}

std::string utcStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
    return buf;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Temporaries are "<file>.tmp-<writer's pid>-XXXXXX"; older ones lack the pid.
constexpr const char* kTemporaryInfix = ".tmp-";
constexpr std::time_t kStaleTemporaryAge = 60;

std::optional<pid_t> writerPid(const std::string& suffix) {
    const auto dash = suffix.find('-');
    if (dash == std::string::npos || dash == 0 || dash > 9)
        return std::nullopt;
    pid_t pid = 0;
    for (std::size_t i = 0; i < dash; ++i) {
        if (suffix[i] < '0' || suffix[i] > '9')
            return std::nullopt;
        pid = pid * 10 + (suffix[i] - '0');
    }
    if (pid <= 0)
        return std::nullopt;
    return pid;
}

const char* fileTypeName(mode_t mode) {
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a plain file";
}

std::optional<double> numberFromText(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == text.c_str())
        return std::nullopt;
    while (*end == ' ' || *end == '\t' || *end == '\n')
        ++end;
    if (*end != '\0')
        return std::nullopt;
    return v;
}

std::optional<double> numberOf(const std::optional<PropertyList>& v) {
    if (!v)
        return std::nullopt;
    if (auto* b = v->get<bool>())
        return *b ? 1.0 : 0.0;
    if (auto* i = v->get<std::int64_t>())
        return static_cast<double>(*i);
    if (auto* r = v->get<double>())
        return *r;
    if (auto* s = v->get<std::string>())
        return numberFromText(*s);
    return std::nullopt;
}

} // namespace

std::filesystem::path UserDefaults::defaultDirectory() {
    // Relative values are ignored, as the XDG base directory rules ask.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/')
        return std::filesystem::path(xdg) / "overlook";
    const char* home = std::getenv("HOME");
    if (home && *home == '/')
        return std::filesystem::path(home) / ".config" / "overlook";
    throw SettingsLocationError("cannot find a folder for the settings: neither XDG_CONFIG_HOME nor HOME is set "
                                "to an absolute path (set HOME to your home folder)");
}

std::shared_ptr<UserDefaults> UserDefaults::open(const std::filesystem::path& directory, const std::string& name) {
    if (!validSuiteName(name)) {
        log().error("Refusing the settings suite name \"%s\": it cannot be a file name", name.c_str());
        return nullptr;
    }
    static const bool atExitRegistered = [] {
        std::atexit([] { synchronizeAll(); });
        return true;
    }();
    (void)atExitRegistered;

    const std::filesystem::path dir = std::filesystem::absolute(directory).lexically_normal();
    const std::string id = (dir / (name + ".plist")).string();
    std::lock_guard lock(gRegistryMutex);
    if (auto existing = registry()[id].lock())
        return existing;
    auto suite = std::make_shared<UserDefaults>(Token{}, dir, name);
    registry()[id] = suite;
    return suite;
}

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& name) {
    // The folder is watched from the first observer on: a command that only reads
    // or writes a value has nothing to tell, and tearing a watch down costs the
    // kernel tens of milliseconds at exit.
    return open(defaultDirectory(), name);
}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    static const std::shared_ptr<UserDefaults> instance = suite(kStandardSuite);
    return instance;
}

void UserDefaults::synchronizeAll() {
    std::vector<std::shared_ptr<UserDefaults>> live;
    {
        std::lock_guard lock(gRegistryMutex);
        for (auto& [id, weak] : registry())
            if (auto s = weak.lock())
                live.push_back(std::move(s));
    }
    for (auto& s : live)
        s->synchronize();
}

UserDefaults::UserDefaults(Token, std::filesystem::path directory, std::string name)
    : directory_(std::move(directory)), name_(std::move(name)), path_(directory_ / (name_ + ".plist")) {
    std::lock_guard fileLock(fileMutex_);
    std::unique_ptr<FileLock> lock;
    if (std::filesystem::exists(directory_))
        lock = std::make_unique<FileLock>(lockPathFor(path_));
    if (lock && lock->locked())
        removeStaleTemporaries();
    entries_ = readFile().value_or(PropertyList::Dictionary{});
}

UserDefaults::~UserDefaults() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    writerWake_.notify_all();
    if (writer_.joinable())
        writer_.join();
    if (watchStopFd_ >= 0) {
        const std::uint64_t one = 1;
        (void)!::write(watchStopFd_, &one, sizeof one);
    }
    if (watcher_.joinable())
        watcher_.join();
    if (watchStopFd_ >= 0)
        ::close(watchStopFd_);
    synchronize();
}

std::optional<PropertyList> UserDefaults::effectiveLocked(const std::string& key) const {
    if (auto it = entries_.find(key); it != entries_.end())
        return it->second;
    if (auto it = registered_.find(key); it != registered_.end())
        return it->second;
    return std::nullopt;
}

std::optional<PropertyList> UserDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return effectiveLocked(key);
}

StoreResult UserDefaults::set(const std::string& key, PropertyList value) {
    if (auto reason = unstorableReason(PropertyList(PropertyList::Dictionary{{key, value}}))) {
        StoreResult refused{"cannot store \"" + key + "\": " + *reason};
        log().error("%s", refused.error.c_str());
        return refused;
    }
    // A file past the limit is set aside when read, and every setting with it: the
    // write that would get there is the one refused.
    std::size_t size = 0;
    {
        std::lock_guard lock(mutex_);
        PropertyList::Dictionary after = entries_;
        after.insert_or_assign(key, value);
        size = toXml(after).size();
    }
    if (size > kMaximumFileSize) {
        StoreResult refused{"cannot store \"" + key + "\": the settings would take " + std::to_string(size) +
                            " bytes, more than the " + std::to_string(kMaximumFileSize) +
                            " a settings file may hold; nothing was changed"};
        log().error("%s", refused.error.c_str());
        return refused;
    }
    change(key, std::move(value));
    return {};
}

void UserDefaults::removeObject(const std::string& key) { change(key, std::nullopt); }

void UserDefaults::change(const std::string& key, std::optional<PropertyList> value) {
    const auto observers = observersOf(key);
    std::optional<PropertyList> before;
    {
        std::lock_guard lock(mutex_);
        before = effectiveLocked(key);
    }
    notify(observers, key, true, before, std::nullopt);
    std::optional<PropertyList> after;
    {
        std::lock_guard lock(mutex_);
        before = effectiveLocked(key);
        if (value)
            entries_.insert_or_assign(key, std::move(*value));
        else
            entries_.erase(key);
        dirty_[key] = ++generation_;
        after = effectiveLocked(key);
    }
    scheduleWrite();
    notify(observers, key, false, before, after);
}

PropertyList::Dictionary UserDefaults::dictionaryRepresentation() const {
    std::lock_guard lock(mutex_);
    PropertyList::Dictionary all = registered_;
    for (const auto& [key, value] : entries_)
        all.insert_or_assign(key, value);
    return all;
}

PropertyList::Dictionary UserDefaults::persistentDomain() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

void UserDefaults::registerDefaults(const PropertyList::Dictionary& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [key, value] : defaults)
        registered_.insert_or_assign(key, value);
}

bool UserDefaults::boolForKey(const std::string& key) const {
    const auto v = object(key);
    if (!v)
        return false;
    if (auto* s = v->get<std::string>())
        return strcasecmp(s->c_str(), "true") == 0 || strcasecmp(s->c_str(), "yes") == 0 || *s == "1";
    const auto n = numberOf(v);
    return n && *n != 0;
}

float UserDefaults::floatForKey(const std::string& key) const {
    return static_cast<float>(doubleForKey(key));
}

double UserDefaults::doubleForKey(const std::string& key) const { return numberOf(object(key)).value_or(0.0); }

std::int64_t UserDefaults::integerForKey(const std::string& key) const {
    const auto v = object(key);
    if (v)
        if (auto* i = v->get<std::int64_t>())
            return *i;
    const double n = numberOf(v).value_or(0.0);
    // Out-of-range numbers read 0 rather than overflow.
    if (!(n > -9.2e18 && n < 9.2e18))
        return 0;
    return static_cast<std::int64_t>(n);
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    const auto v = object(key);
    if (!v)
        return std::nullopt;
    if (auto* s = v->get<std::string>())
        return *s;
    if (v->is(PropertyList::Kind::Integer) || v->is(PropertyList::Kind::Real))
        return v->describe();
    return std::nullopt;
}

// --- observation ---

UserDefaults::ObserverId UserDefaults::addObserver(const std::string& key, ObservingOptions options,
                                                   Observer observer, const void* context) {
    auto shared = std::make_shared<Observer>(std::move(observer));
    ObserverId id;
    std::optional<PropertyList> current;
    {
        std::lock_guard lock(mutex_);
        id = ++nextObserver_;
        observers_.emplace(id, Registration{key, options, shared, context});
        current = effectiveLocked(key);
    }
    startWatching();
    if (contains(options, ObservingOptions::Initial)) {
        StoreChange initial;
        initial.newValue = current;
        initial.context = context;
        initial.object = this;
        (*shared)(initial);
    }
    return id;
}

void UserDefaults::removeObserver(ObserverId id) {
    std::lock_guard lock(mutex_);
    observers_.erase(id);
}

std::size_t UserDefaults::observerCount(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(observers_.begin(), observers_.end(), [&](const auto& entry) { return entry.second.key == key; }));
}

std::vector<UserDefaults::Registration> UserDefaults::observersOf(const std::string& key) const {
    std::lock_guard lock(mutex_);
    std::vector<Registration> result;
    for (const auto& [id, r] : observers_)
        if (r.key == key)
            result.push_back(r);
    return result;
}

void UserDefaults::notify(const std::vector<Registration>& observers, const std::string&, bool prior,
                          const std::optional<PropertyList>& oldValue, const std::optional<PropertyList>& newValue) {
    for (const auto& r : observers) {
        if (prior && !contains(r.options, ObservingOptions::Prior))
            continue;
        StoreChange c;
        c.isPrior = prior;
        c.oldValue = oldValue;
        if (!prior)
            c.newValue = newValue;
        c.context = r.context;
        c.object = this;
        (*r.observer)(c);
    }
}

// --- persistence ---

void UserDefaults::setCoalescingDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    coalescingDelay_ = delay;
}

void UserDefaults::scheduleWrite() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        writeRequested_ = true;
        if (!writer_.joinable())
            writer_ = std::thread([this] { writerLoop(); });
    }
    writerWake_.notify_all();
}

void UserDefaults::writerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        writerWake_.wait(lock, [&] { return stopping_ || writeRequested_; });
        if (stopping_)
            return;
        // Gather the rest of the burst before touching the disk.
        writerWake_.wait_for(lock, coalescingDelay_, [&] { return stopping_; });
        if (stopping_)
            return;
        writeRequested_ = false;
        lock.unlock();
        synchronize();
        lock.lock();
    }
}

std::optional<PropertyList::Dictionary> UserDefaults::readFile() {
    // Non-blocking, so that a FIFO in the file's place cannot stall the open.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return PropertyList::Dictionary{};
        moveAside(std::string("cannot be read (") + std::strerror(errno) + ")");
        return std::nullopt;
    }
    struct stat info{};
    const int statErr = ::fstat(fd, &info) == 0 ? 0 : errno;
    if (statErr != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        if (statErr != 0 || S_ISDIR(info.st_mode))
            moveAside(std::string("cannot be read (") + std::strerror(statErr ? statErr : EISDIR) + ")");
        else
            moveAside(std::string("is not a regular file (") + fileTypeName(info.st_mode) + ")");
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(info.st_size) > kMaximumFileSize) {
        ::close(fd);
        moveAside("is too large (" + std::to_string(info.st_size) + " bytes, more than " +
                  std::to_string(kMaximumFileSize) + ")");
        return std::nullopt;
    }
    std::string bytes;
    char buf[65536];
    for (;;) {
        // A file that grows while it is read is held to the same limit.
        if (bytes.size() > kMaximumFileSize) {
            ::close(fd);
            moveAside("is too large (more than " + std::to_string(kMaximumFileSize) + " bytes)");
            return std::nullopt;
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            moveAside(std::string("cannot be read (") + std::strerror(err) + ")");
            return std::nullopt;
        }
        if (n == 0)
            break;
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    auto parsed = parsePropertyList(bytes);
    if (!parsed.value) {
        moveAside("is corrupt (" + parsed.error + ")");
        return std::nullopt;
    }
    if (auto* dict = parsed.value->get<PropertyList::Dictionary>())
        return std::move(*dict);
    moveAside(std::string("is corrupt (its root is ") + kindName(parsed.value->kind()) + ", not a dictionary)");
    return std::nullopt;
}

void UserDefaults::moveAside(const std::string& reason) {
    std::string target = path_.string() + ".corrupt-" + utcStamp();
    for (int n = 2; std::filesystem::exists(target) && n < 1000; ++n)
        target = path_.string() + ".corrupt-" + utcStamp() + "-" + std::to_string(n);
    if (::rename(path_.c_str(), target.c_str()) == 0)
        log().error("The settings file %s %s; it was moved to %s and the suite "
                    "starts from its registered defaults",
                    path_.c_str(), reason.c_str(), target.c_str());
    else
        log().error("The settings file %s %s and could not be moved aside (%s); "
                    "it will be replaced at the next write",
                    path_.c_str(), reason.c_str(), std::strerror(errno));
}

void UserDefaults::removeStaleTemporaries() {
    removeStaleTemporaries(path_);
    if (const auto target = writeTarget(); target != path_)
        removeStaleTemporaries(target);
}

void UserDefaults::removeStaleTemporaries(const std::filesystem::path& file) {
    const std::string prefix = file.filename().string() + kTemporaryInfix;
    std::error_code ec;
    std::filesystem::directory_iterator it(file.parent_path(), ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with(prefix))
            continue;
        struct stat info{};
        if (::lstat(it->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        // The lock already keeps out live writers; the writer's process id (in the
        // name since temporaries carry it) and the file's age guard against a
        // lock that another kind of file system does not honour.
        const auto pid = writerPid(name.substr(prefix.size()));
        const bool writerGone = pid && ::kill(*pid, 0) != 0 && errno == ESRCH;
        const bool old = std::time(nullptr) - info.st_mtime > kStaleTemporaryAge;
        if ((writerGone || old) && ::unlink(it->path().c_str()) == 0)
            log().info("Removed %s, left by a settings writer that did not finish", it->path().c_str());
    }
}

std::filesystem::path UserDefaults::writeTarget() const {
    // A settings file that is a link (into a dotfiles folder, say) stays one: the
    // file it names is replaced. A link to anything but a regular file, or into a
    // folder that is not there, is replaced itself.
    struct stat info{};
    if (::lstat(path_.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
        return path_;
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::weakly_canonical(path_, ec);
    if (ec || !std::filesystem::is_directory(target.parent_path(), ec))
        return path_;
    const auto status = std::filesystem::status(target, ec);
    if (status.type() != std::filesystem::file_type::not_found && status.type() != std::filesystem::file_type::regular)
        return path_;
    return target;
}

bool UserDefaults::writeFile(const PropertyList::Dictionary& contents) {
    const std::string xml = toXml(contents);
    if (xml.size() > kMaximumFileSize) {
        // Merged with what other processes wrote, it got too large to be read back.
        log().error("Not writing the settings file %s: it would take %zu bytes, more than %zu", path_.c_str(),
                    xml.size(), kMaximumFileSize);
        return false;
    }
    const std::filesystem::path target = writeTarget();
    std::string temp = target.string() + kTemporaryInfix + std::to_string(::getpid()) + "-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        log().error("Cannot write the settings file %s: %s", target.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = writeAll(fd, xml) && ::fsync(fd) == 0;
    const int writeErr = errno;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0)
        ok = false;
    if (!ok) {
        log().error("Cannot write the settings file %s: %s", target.c_str(),
                    std::strerror(writeErr ? writeErr : errno));
        ::unlink(temp.c_str());
        return false;
    }
    // The rename is durable only once the folder itself is on disk.
    const int dirFd = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool UserDefaults::synchronize() {
    std::lock_guard fileLock(fileMutex_);
    std::map<std::string, std::pair<std::uint64_t, std::optional<PropertyList>>> pending;
    PropertyList::Dictionary inMemory;
    {
        std::lock_guard lock(mutex_);
        if (dirty_.empty())
            return true;
        for (const auto& [key, generation] : dirty_) {
            auto it = entries_.find(key);
            pending.emplace(key, std::make_pair(generation, it == entries_.end() ? std::nullopt
                                                                                  : std::optional(it->second)));
        }
        inMemory = entries_;
    }
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    FileLock lock(lockPathFor(path_));
    if (!lock.locked()) {
        log().error("Cannot lock the settings file %s: %s", path_.c_str(), std::strerror(errno));
        return false;
    }
    // Another process may have written since we last looked: merge our changes into
    // what is on disk so that neither loses the other's keys. A file that turned out
    // corrupt is rebuilt from what this process holds.
    PropertyList::Dictionary merged = readFile().value_or(inMemory);
    for (auto& [key, change] : pending) {
        if (change.second)
            merged.insert_or_assign(key, *change.second);
        else
            merged.erase(key);
    }
    if (!writeFile(merged))
        return false;
    {
        std::lock_guard l(mutex_);
        for (const auto& [key, change] : pending)
            if (auto it = dirty_.find(key); it != dirty_.end() && it->second == change.first)
                dirty_.erase(it);
    }
    absorb(merged);
    return true;
}

void UserDefaults::reloadFromDisk() {
    std::lock_guard fileLock(fileMutex_);
    if (!std::filesystem::exists(directory_))
        return;
    FileLock lock(lockPathFor(path_));
    auto onDisk = readFile();
    if (!onDisk) {
        // The file was moved aside; write back what this process holds.
        {
            std::lock_guard l(mutex_);
            for (const auto& [key, value] : entries_)
                dirty_[key] = ++generation_;
        }
        scheduleWrite();
        return;
    }
    absorb(*onDisk);
}

void UserDefaults::absorb(const PropertyList::Dictionary& onDisk) {
    std::vector<PendingChange> changes;
    {
        std::lock_guard lock(mutex_);
        auto consider = [&](const std::string& key) {
            if (dirty_.count(key))
                return;
            auto mine = entries_.find(key);
            auto theirs = onDisk.find(key);
            const bool haveMine = mine != entries_.end(), haveTheirs = theirs != onDisk.end();
            if (haveMine == haveTheirs && (!haveMine || mine->second == theirs->second))
                return;
            PendingChange c{key, effectiveLocked(key), std::nullopt};
            if (haveTheirs)
                entries_.insert_or_assign(key, theirs->second);
            else
                entries_.erase(key);
            c.newValue = effectiveLocked(key);
            changes.push_back(std::move(c));
        };
        std::vector<std::string> keys;
        for (const auto& [key, value] : entries_)
            keys.push_back(key);
        for (const auto& key : keys)
            consider(key);
        for (const auto& [key, value] : onDisk)
            if (!entries_.count(key))
                consider(key);
    }
    if (!changes.empty())
        deliverExternal(std::move(changes));
}

void UserDefaults::deliverExternal(std::vector<PendingChange> changes) {
    std::weak_ptr<UserDefaults> weak = weak_from_this();
    mainQueue().async([weak, changes = std::move(changes)] {
        auto self = weak.lock();
        if (!self)
            return;
        // The change has already happened on disk; observers asking for a prior
        // notification get it right before the change notification.
        for (const auto& c : changes) {
            const auto observers = self->observersOf(c.key);
            self->notify(observers, c.key, true, c.oldValue, std::nullopt);
            self->notify(observers, c.key, false, c.oldValue, c.newValue);
        }
    });
}

void UserDefaults::startWatching() {
    std::lock_guard lock(mutex_);
    if (watcher_.joinable() || stopping_)
        return;
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0) {
        log().error("Cannot watch %s for changes by other programs: %s", directory_.c_str(),
                    std::strerror(errno));
        return;
    }
    if (inotify_add_watch(fd, directory_.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) < 0) {
        log().error("Cannot watch %s for changes by other programs: %s", directory_.c_str(),
                    std::strerror(errno));
        ::close(fd);
        return;
    }
    // Writes through a linked settings file land beside its target.
    std::string targetName;
    if (const auto target = writeTarget(); target != path_ &&
        inotify_add_watch(fd, target.parent_path().c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) >= 0)
        targetName = target.filename().string();
    watchStopFd_ = eventfd(0, EFD_CLOEXEC);
    watcher_ = std::thread([this, fd, stopFd = watchStopFd_, targetName] { watchLoop(fd, stopFd, targetName); });
}

void UserDefaults::watchLoop(int inotifyFd, int stopFd, const std::string& targetName) {
    const std::string fileName = path_.filename().string();
    alignas(inotify_event) char buf[8192];
    for (;;) {
        pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (fds[1].revents)
            break;
        bool ours = false;
        for (;;) {
            const ssize_t n = ::read(inotifyFd, buf, sizeof buf);
            if (n <= 0)
                break;
            for (ssize_t off = 0; off < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
                if (ev->len && (fileName == ev->name || (!targetName.empty() && targetName == ev->name)))
                    ours = true;
                off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
        if (ours)
            reloadFromDisk();
    }
    ::close(inotifyFd);
}

} // namespace overlook
