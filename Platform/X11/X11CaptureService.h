#pragma once
// Display streams of an X server. One worker thread with its own connection serves
// every stream: XDamage says which displays changed, a changed display is grabbed
// at most at its refresh rate, reduced to the stream's size (on the server with
// XRender, or by an area filter on the client), the cursor is drawn in, and the
// frame goes to the stream's queue. Nothing changes, nothing is grabbed.

#include "Tessera/CaptureService.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace overlook::x11 {

enum class Reduction {
    Automatic, // the area filter for integer factors of 4 and more, else XRender
    Render,    // XRender: bilinear scaling on the server, then one small grab
    AreaFilter // a full grab, reduced on the client
};

struct CaptureStats {
    std::uint64_t frames = 0;
    std::uint64_t grabNanoseconds = 0; // time spent grabbing and reducing
};

class X11CaptureService final : public CaptureService {
public:
    explicit X11CaptureService(const char* displayName = nullptr, Reduction reduction = Reduction::Automatic);
    ~X11CaptureService() override;

    // False when the X server could not be reached; error() says why.
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    bool usesShm() const { return usesShm_; }
    CaptureStats stats() const;

    std::unique_ptr<CaptureStream> createStream(DisplayID display, std::int64_t width, std::int64_t height,
                                                std::uint32_t pixelFormat, const StreamProperties& properties,
                                                std::shared_ptr<DispatchQueue> queue, FrameHandler handler) override;

    struct StreamState;
    class Worker;

private:
    class Stream;
    void wake();

    std::string displayName_;
    Reduction reduction_;
    bool ok_ = false;
    bool usesShm_ = false;
    std::string error_;
    int wakeFd_ = -1;
    std::mutex mutex_; // guards streams_
    std::vector<std::shared_ptr<StreamState>> streams_;
    std::unique_ptr<Worker> worker_;
    std::thread thread_;
};

} // namespace overlook::x11
