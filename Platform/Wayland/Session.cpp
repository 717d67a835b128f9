#include "Session.h"

#include "Foundation/Logger.h"

#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <future>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <wayland-client.h>

namespace overlook::wayland {

namespace {
const Logger& sessionLog() {
    static const Logger log(logs::kEngine, "Wayland");
    return log;
}
} // namespace

struct Session::Live {
    Session* session = nullptr;
    std::uint32_t global = 0;
    wl_output* output = nullptr;
    zxdg_output_v1* xdg = nullptr;
    std::uint32_t order = 0;
    Output value;
    std::string xdgName;
    bool haveMode = false, haveLogical = false, done = false;
    Rect fromGeometry; // position from wl_output, size from the mode: used without xdg-output

    ~Live() {
        if (xdg)
            zxdg_output_v1_destroy(xdg);
        if (output) {
            if (wl_output_get_version(output) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
                wl_output_release(output);
            else
                wl_output_destroy(output);
        }
    }
    bool complete() const { return done && haveMode; }
    Output snapshot() const {
        Output o = value;
        o.name = outputName(o.name, xdgName, global);
        if (!haveLogical) {
            const bool turned = o.transform & 1;
            const double w = (turned ? o.pixelHeight : o.pixelWidth) / double(std::max(1, o.scale));
            const double h = (turned ? o.pixelWidth : o.pixelHeight) / double(std::max(1, o.scale));
            o.logical = Rect(fromGeometry.x, fromGeometry.y, w, h);
        }
        o.id = outputId(o.name, o.make, o.model);
        return o;
    }
};

struct Session::Globals {
    wl_registry* registry = nullptr;
    zxdg_output_manager_v1* xdgManager = nullptr;
    std::vector<std::unique_ptr<Live>> outputs;
    std::uint32_t announced = 0;
};

namespace {

void outputGeometry(void* data, wl_output*, int32_t x, int32_t y, int32_t mmW, int32_t mmH, int32_t,
                    const char* make, const char* model, int32_t transform) {
    auto* live = static_cast<Session::Live*>(data);
    live->fromGeometry.x = x;
    live->fromGeometry.y = y;
    live->value.millimetres = Size{double(mmW), double(mmH)};
    live->value.make = make ? make : "";
    live->value.model = model ? model : "";
    live->value.transform = transform;
}
void outputMode(void* data, wl_output*, uint32_t flags, int32_t w, int32_t h, int32_t refresh) {
    if (!(flags & WL_OUTPUT_MODE_CURRENT))
        return;
    auto* live = static_cast<Session::Live*>(data);
    live->value.pixelWidth = w;
    live->value.pixelHeight = h;
    live->value.refreshRate = refresh / 1000.0;
    live->haveMode = true;
}
void outputDone(void* data, wl_output*) { static_cast<Session::Live*>(data)->done = true; }
void outputScale(void* data, wl_output*, int32_t factor) { static_cast<Session::Live*>(data)->value.scale = factor; }
void outputName(void* data, wl_output*, const char* name) { static_cast<Session::Live*>(data)->value.name = name; }
void outputDescription(void* data, wl_output*, const char* text) {
    static_cast<Session::Live*>(data)->value.description = text;
}
const wl_output_listener kOutputListener = {outputGeometry, outputMode,        outputDone,
                                            outputScale,    outputName,        outputDescription};

void xdgPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
    auto* live = static_cast<Session::Live*>(data);
    live->value.logical.x = x;
    live->value.logical.y = y;
    live->haveLogical = true;
}
void xdgSize(void* data, zxdg_output_v1*, int32_t w, int32_t h) {
    auto* live = static_cast<Session::Live*>(data);
    live->value.logical.width = w;
    live->value.logical.height = h;
    live->haveLogical = true;
}
// Before xdg-output version 3 its own done event ends a description.
void xdgDone(void* data, zxdg_output_v1* xdg) {
    if (zxdg_output_v1_get_version(xdg) < 3)
        static_cast<Session::Live*>(data)->done = true;
}
void xdgName(void* data, zxdg_output_v1*, const char* name) { static_cast<Session::Live*>(data)->xdgName = name; }
void xdgDescription(void* data, zxdg_output_v1*, const char* text) {
    auto* live = static_cast<Session::Live*>(data);
    if (live->value.description.empty())
        live->value.description = text;
}
const zxdg_output_v1_listener kXdgListener = {xdgPosition, xdgSize, xdgDone, xdgName, xdgDescription};

void watchXdg(Session::Live& live, zxdg_output_manager_v1* manager) {
    if (!manager || live.xdg)
        return;
    live.xdg = zxdg_output_manager_v1_get_xdg_output(manager, live.output);
    zxdg_output_v1_add_listener(live.xdg, &kXdgListener, &live);
}

} // namespace

std::shared_ptr<Session> Session::connect(const char* name, std::string& error) {
    std::shared_ptr<Session> session(new Session());
    if (!session->setUp(name, error))
        return nullptr;
    return session;
}

bool Session::setUp(const char* name, std::string& error) {
    display_ = wl_display_connect(name);
    if (!display_) {
        const char* socket = name ? name : std::getenv("WAYLAND_DISPLAY");
        error = std::string("cannot connect to the Wayland compositor") + (socket ? std::string(" '") + socket + "'" : "") +
                ": " + std::strerror(errno);
        return false;
    }
    globals_ = std::make_unique<Globals>();
    globals_->registry = wl_display_get_registry(display_);
    static const wl_registry_listener registryListener = {
        [](void* data, wl_registry* registry, uint32_t id, const char* interface, uint32_t version) {
            auto* self = static_cast<Session*>(data);
            Globals& g = *self->globals_;
            if (std::strcmp(interface, wl_output_interface.name) == 0) {
                auto live = std::make_unique<Live>();
                live->session = self;
                live->global = id;
                live->order = g.announced++;
                live->output = static_cast<wl_output*>(
                    wl_registry_bind(registry, id, &wl_output_interface, std::min<uint32_t>(version, 4)));
                wl_output_add_listener(live->output, &kOutputListener, live.get());
                watchXdg(*live, g.xdgManager);
                g.outputs.push_back(std::move(live));
            } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
                g.xdgManager = static_cast<zxdg_output_manager_v1*>(
                    wl_registry_bind(registry, id, &zxdg_output_manager_v1_interface, std::min<uint32_t>(version, 3)));
                for (auto& live : g.outputs)
                    watchXdg(*live, g.xdgManager);
            } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
                self->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, id, &wl_shm_interface, 1));
            } else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0) {
                self->screencopyVersion_ = std::min<uint32_t>(version, 3);
                self->screencopy_ = static_cast<zwlr_screencopy_manager_v1*>(wl_registry_bind(
                    registry, id, &zwlr_screencopy_manager_v1_interface, self->screencopyVersion_));
            }
        },
        [](void* data, wl_registry*, uint32_t id) {
            auto& outputs = static_cast<Session*>(data)->globals_->outputs;
            std::erase_if(outputs, [id](const std::unique_ptr<Live>& live) { return live->global == id; });
        }};
    wl_registry_add_listener(globals_->registry, &registryListener, this);
    // The globals, then what the outputs say of themselves.
    if (wl_display_roundtrip(display_) < 0 || wl_display_roundtrip(display_) < 0) {
        error = "the Wayland compositor closed the connection";
        return false;
    }
    if (!shm_) {
        error = "the Wayland compositor offers no shared memory (wl_shm)";
        return false;
    }
    publish();
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

Session::~Session() {
    stopping_ = true;
    wake();
    if (thread_.joinable())
        thread_.join();
    if (globals_) {
        globals_->outputs.clear();
        if (globals_->xdgManager)
            zxdg_output_manager_v1_destroy(globals_->xdgManager);
        if (globals_->registry)
            wl_registry_destroy(globals_->registry);
    }
    if (screencopy_)
        zwlr_screencopy_manager_v1_destroy(screencopy_);
    if (shm_)
        wl_shm_destroy(shm_);
    if (display_)
        wl_display_disconnect(display_);
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

OutputLayout Session::layout() const {
    std::lock_guard lock(mutex_);
    return layout_;
}

void Session::wake() {
    if (wakeFd_ < 0)
        return;
    const std::uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
}

void Session::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (running_) {
            tasks_.push_back(std::move(task));
            task = nullptr;
        }
    }
    if (task)
        task(); // nobody serves the connection any more
    else
        wake();
}

void Session::runSync(const std::function<void()>& task) {
    if (onThread()) {
        task();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    post([&task, done] {
        task();
        done->set_value();
    });
    finished.wait();
}

void Session::addClient(Client* client) {
    std::lock_guard lock(mutex_);
    clients_.push_back(client);
}

void Session::removeClient(Client* client) {
    {
        std::lock_guard lock(mutex_);
        std::erase(clients_, client);
    }
    if (!onThread())
        std::lock_guard turns(turnMutex_); // a turn already under way ends first
}

std::shared_ptr<void> Session::subscribe(std::function<void(DisplayID)> callback) {
    return subscribers_.add(std::move(callback));
}

wl_output* Session::output(DisplayID id) const {
    for (const auto& live : globals_->outputs)
        if (live->complete() && live->snapshot().id == id)
            return live->output;
    return nullptr;
}

void Session::publish() {
    OutputLayout now;
    for (const auto& live : globals_->outputs)
        if (live->complete())
            now.outputs.push_back(live->snapshot());
    std::sort(now.outputs.begin(), now.outputs.end(),
              [this](const Output& a, const Output& b) { return a.unitNumber < b.unitNumber; });
    for (const auto& live : globals_->outputs)
        for (auto& o : now.outputs)
            if (o.id == live->snapshot().id)
                o.unitNumber = live->order;
    std::vector<DisplayID> changed;
    std::vector<std::function<void(DisplayID)>> subscribers;
    std::vector<Client*> clients;
    {
        std::lock_guard lock(mutex_);
        if (now == layout_)
            return;
        changed = changedOutputs(layout_, now);
        layout_ = std::move(now);
        clients = clients_;
    }
    if (!running_)
        return; // the first reading: nobody to tell yet
    subscribers = subscribers_.snapshot();
    for (Client* c : clients)
        c->layoutChanged(changed);
    for (DisplayID id : changed)
        for (const auto& s : subscribers)
            s(id);
}

void Session::runTasks() {
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard lock(mutex_);
        tasks.swap(tasks_);
    }
    for (auto& t : tasks)
        t();
}

void Session::fail() {
    sessionLog().error("The connection to the Wayland compositor was lost; every display stream stops");
    lost_ = true;
    std::vector<Client*> clients;
    {
        std::lock_guard lock(mutex_);
        clients = clients_;
    }
    std::lock_guard turns(turnMutex_);
    for (Client* c : clients)
        c->connectionLost();
}

void Session::run() {
    const int fd = wl_display_get_fd(display_);
    while (!stopping_) {
        while (wl_display_prepare_read(display_) != 0)
            wl_display_dispatch_pending(display_);
        bool wantWrite = false;
        if (wl_display_flush(display_) < 0) {
            if (errno == EAGAIN)
                wantWrite = true;
            else {
                wl_display_cancel_read(display_);
                fail();
                break;
            }
        }
        auto timeout = std::chrono::milliseconds(1000);
        {
            const auto now = Clock::now();
            std::lock_guard lock(mutex_);
            for (Client* c : clients_)
                if (auto due = c->deadline())
                    timeout = std::min(timeout, std::chrono::ceil<std::chrono::milliseconds>(
                                                    std::max(Clock::duration::zero(), *due - now)));
        }
        pollfd fds[2] = {{fd, short(POLLIN | (wantWrite ? POLLOUT : 0)), 0}, {wakeFd_, POLLIN, 0}};
        poll(fds, 2, static_cast<int>(timeout.count()));
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
            if (wl_display_read_events(display_) < 0) {
                fail();
                break;
            }
        } else {
            wl_display_cancel_read(display_);
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            (void)!read(wakeFd_, &count, sizeof count);
        }
        if (wl_display_dispatch_pending(display_) < 0) {
            fail();
            break;
        }
        runTasks();
        std::lock_guard turns(turnMutex_);
        publish();
        std::vector<Client*> clients;
        {
            std::lock_guard lock(mutex_);
            clients = clients_;
        }
        const auto now = Clock::now();
        for (Client* c : clients)
            c->turn(now);
    }
    {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    runTasks(); // what was posted before the end still runs
}

} // namespace overlook::wayland
