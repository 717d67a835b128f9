#pragma once
// What PortalCaptureService's three parts share: the streams' statuses and the
// service's loop (PortalCaptureService.cpp), the ScreenCast conversation over D-Bus
// (ScreenCastConversation.cpp) and the PipeWire streams that carry the pictures
// (PipeWireFeed.cpp). Everything here but the stream list runs on the loop thread.

#include "Platform/Portal/PortalCaptureService.h"
#include "Foundation/Logger.h"
#include "Platform/Portal/StreamMapping.h"
#include "Tessera/CursorImage.h"
#include "Tessera/FramePool.h"
#include "Tessera/ServedStream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <mutex>

namespace overlook::portal {

inline const Logger& portalLog() {
    static const Logger log(logs::kEngine, "Portal");
    return log;
}

using Clock = std::chrono::steady_clock;
inline constexpr auto kIdleInterval = std::chrono::seconds(1);
inline constexpr auto kTick = std::chrono::milliseconds(100); // idle updates, vanished nodes
// Streams are started together, one per display: waiting this long after the last
// one came lets a portal that shares several displays at once show one dialog.
inline constexpr auto kGathering = std::chrono::milliseconds(50);
// How long a running stream waits for a first picture before the desktop is asked again.
inline constexpr auto kFirstPictureWait = std::chrono::milliseconds(250);
// A restored consent that gives a display no stream is tried again this often, this
// far apart: an output that just came back may not be known to the portal yet.
inline constexpr int kRestoreRetries = 3;
inline constexpr auto kRestoreRetryDelay = std::chrono::seconds(1);
inline constexpr auto kSnapshotTimeout = std::chrono::seconds(15);
inline constexpr std::uint32_t kSourceMonitor = 1;
inline constexpr std::uint32_t kCursorHidden = 1, kCursorEmbedded = 2, kCursorMetadata = 4;
inline constexpr std::uint32_t kPersistUntilRevoked = 2;
inline constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
inline constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
inline constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";

struct BusMessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using BusMessagePtr = std::unique_ptr<sd_bus_message, BusMessageUnref>;

struct SlotUnref {
    void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

inline std::string busError(const sd_bus_error* e, int r) {
    if (e && sd_bus_error_is_set(e))
        return std::string(e->name) + (e->message ? std::string(": ") + e->message : std::string());
    return std::strerror(r < 0 ? -r : r);
}

// Appends one "{sv}" entry.
template <typename... V> inline int entry(sd_bus_message* m, const char* key, const char* type, V... value) {
    return sd_bus_message_append(m, "{sv}", key, type, value...);
}

// What the service's thread knows of one display stream beyond what every served stream has.
struct StreamState : ServedStreamState {
    using ServedStreamState::ServedStreamState;
    bool wasStarted = false;
    std::uint64_t startsSeen = 0;
    bool stopSent = false;
    bool served = false; // has had a frame since it was started
    Clock::time_point lastUpdate{};
    Clock::time_point startedAt{};
};

struct Conversation;

// One PipeWire stream of a ScreenCast session: the picture of one display.
struct Feed {
    PortalCaptureService::Impl* owner = nullptr;
    Conversation* conversation = nullptr;
    DisplayID display = 0;
    std::uint32_t node = 0;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    spa_video_info_raw format{};
    bool haveFormat = false;
    bool gone = false;
    Clock::time_point goneAt{}; // when its PipeWire stream ended
    bool active = true;
    bool badBufferSaid = false;
    // Asking a still desktop for a first picture: when it was last asked, and when
    // the stream paused for it resumes.
    Clock::time_point askedAt{};
    std::optional<Clock::time_point> firstBufferAt; // the stream runs
    std::optional<Clock::time_point> resumeAt;
    // Where its cursor metadata last put the pointer; nullopt when it said the
    // pointer is elsewhere, or the feed is paused or gone (it would be stale).
    std::optional<Point> pointer;
    // The pointer's picture from the metadata (sent when it changes), and where its
    // hot spot is in the stream's pixels while the pointer is over this display:
    // drawn into the frames, which come without it.
    CursorImage cursorImage;
    std::optional<Point> cursorAt;
    // Portals send a frame only when something changed: the newest buffer is kept
    // out of the pool until a newer one comes, and a stream that joins a running
    // feed (a snapshot during a preview) is served from it. Given back when the
    // feed pauses: it would be stale when it resumes.
    pw_buffer* held = nullptr;

    void end() {
        gone = true;
        goneAt = Clock::now();
    }

    ~Feed() {
        if (stream) {
            spa_hook_remove(&listener);
            pw_stream_destroy(stream);
        }
    }
};

// One ScreenCast session, from CreateSession to its PipeWire streams.
struct Conversation {
    enum class Step { CreateSession, SelectSources, Start, Running, Ended };
    PortalCaptureService::Impl* owner = nullptr;
    Step step = Step::CreateSession;
    std::vector<DisplayID> asked; // the displays it was opened for, the wanted one first
    std::string restoreToken;     // what it was restored with, "" for a fresh consent
    std::string handle;           // the session object
    SlotPtr call, response, closed;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    std::vector<std::unique_ptr<Feed>> feeds;

    ~Conversation() {
        feeds.clear();
        if (registry) {
            spa_hook_remove(&registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        }
        if (core) {
            spa_hook_remove(&coreListener);
            pw_core_disconnect(core);
        }
    }
};

struct PortalCaptureService::Impl {
    std::shared_ptr<wayland::Session> outputs;
    std::shared_ptr<RestoreTokenStore> tokens;

    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    sd_bus* bus = nullptr;
    SlotPtr portalWatch; // the portal's name losing its owner
    spa_source* busSource = nullptr;
    std::mutex wakeMutex; // the wake source goes while other threads may still signal it
    spa_source* wakeSource = nullptr;
    spa_source* tickSource = nullptr;
    spa_source* gatherSource = nullptr;
    std::string sender; // the bus's unique name as the portal's object paths spell it
    std::uint32_t portalVersion = 0, cursorModes = 0;
    bool checkedPortal = false;
    std::uint64_t serial = 0;

    mutable std::mutex mutex; // guards streams, failure, stats, cursor
    std::vector<std::shared_ptr<StreamState>> streams;
    std::optional<std::string> failure;
    PortalStats stats;
    std::optional<Point> cursor;

    // Snapshots are taken on threads of their own, which the program's end does not
    // wait for: the service waits for those already taking one and refuses new ones.
    std::mutex snapshotMutex;
    std::condition_variable snapshotsDone;
    int snapshotsTaking = 0;
    bool closing = false;

    // The loop thread's own.
    std::vector<std::shared_ptr<StreamState>> known;
    std::vector<std::unique_ptr<Conversation>> conversations;
    std::map<DisplayID, std::string> refused; // display -> why it is not captured
    std::vector<DisplayID> gathering;         // displays waiting for a session, since gatheredAt
    Clock::time_point gatheredAt{};
    std::map<DisplayID, int> restoreRetries; // display -> restored sessions that gave it nothing
    Clock::time_point askNotBefore{};

    // --- set-up, the loop and the streams' statuses (PortalCaptureService.cpp) ---
    bool setUp();
    bool fail(std::string message);
    void tearDown();
    void wake();
    static void onBus(void* data, int, std::uint32_t);
    static void onWake(void* data, std::uint64_t);
    static void onTick(void* data, std::uint64_t);
    Feed* feedFor(DisplayID display);
    void stopStream(StreamState& s);
    void stopEverything();
    void turn();
    void refuse(DisplayID display, const std::string& why);
    // Pauses and resumes a feed that has given a started stream no picture yet.
    void askForPicture(Feed& f, const StreamState& s, Clock::time_point now);
    // Publishes the pointer's place from the feeds' metadata, `latest`'s first.
    void updatePointer(const Feed* latest);

    // --- the ScreenCast conversation over D-Bus (ScreenCastConversation.cpp) -------
    void pumpBus();
    // A portal that goes away takes its sessions with it; nothing tells their streams.
    static int onPortalOwnerChanged(sd_bus_message* m, void* data, sd_bus_error*);
    bool portalUsable();
    // Opens one session, at most one at a time so that dialogs never pile up.
    void ask(const std::vector<DisplayID>& wanted, const wayland::OutputLayout& layout);
    std::string nextToken();
    // A portal request: the Response signal is subscribed before the call, at the
    // path the handle token makes, so that no answer can come before we listen.
    bool request(Conversation& c, const char* method, const std::function<int(sd_bus_message*)>& arguments,
                 const std::function<int(sd_bus_message*)>& options, sd_bus_message_handler_t onResponse);
    // A call that fails never sends its Response.
    static int onCallReply(sd_bus_message* m, void* data, sd_bus_error*);
    void createSession(Conversation& c);
    // Reads a Response's code; false (and the conversation ended) unless it is 0.
    static bool responseOk(Conversation& c, sd_bus_message* m, const char* step);
    static int onSessionCreated(sd_bus_message* m, void* data, sd_bus_error*);
    static int onSourcesSelected(sd_bus_message* m, void* data, sd_bus_error*);
    struct Offered {
        std::uint32_t node = 0;
        StreamPlace place;
    };
    static int onStarted(sd_bus_message* m, void* data, sd_bus_error*);
    void started(Conversation& c, const std::vector<Offered>& offered, const std::string& restoreToken);
    // Ends a conversation that did not get to stream. `why` empty: nothing to say
    // (already said, or to be asked again). `refuseDisplays`: its displays are not
    // asked for again.
    bool endConversation(Conversation& c, const std::string& why, bool refuseDisplays = true);
    static int onClosed(sd_bus_message*, void* data, sd_bus_error*);
    void closeSession(Conversation& c);

    // --- reading PipeWire streams (PipeWireFeed.cpp) ------------------------------
    // Joins PipeWire through the portal's descriptor (taken), watching the core for a
    // lost connection and the registry for nodes that go away.
    bool connectPipeWire(Conversation& c, int fd);
    void connectFeed(Conversation& c, DisplayID display, std::uint32_t node, const wayland::OutputLayout& layout);
    void formatChanged(Feed& f, std::uint32_t id, const spa_pod* param);
    static constexpr std::size_t CURSOR_META_SIZE(int w, int h) {
        return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + std::size_t(w) * h * 4;
    }
    void process(Feed& f);
    // Takes the pointer's place from a buffer's cursor metadata, if it has any.
    // True when the pointer's picture or its place on this display changed.
    bool readCursor(Feed& f, spa_buffer& buffer);
    // To every started stream of the feed's display, or to `only`; false when the
    // buffer holds no picture.
    bool deliver(Feed& f, spa_buffer& buffer, StreamState* only = nullptr);
};

} // namespace overlook::portal
