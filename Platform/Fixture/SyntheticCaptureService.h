#pragma once
// A capture service that paints the fixture's test pattern instead of grabbing a
// screen. Started streams produce frames at `framesPerSecond` (0: only on request,
// for deterministic tests); `emit` delivers any update by hand, including status
// values outside the known set; `setRefuseCreation` makes stream creation fail.

#include "Platform/Fixture/FixtureDisplayService.h"
#include "Tessera/CaptureService.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace overlook::fixture {

struct CreatedStream {
    DisplayID display;
    std::int64_t width;
    std::int64_t height;
    std::uint32_t pixelFormat;
    StreamProperties properties;
    std::string queueLabel;
};

class SyntheticCaptureService final : public CaptureService {
public:
    explicit SyntheticCaptureService(std::shared_ptr<FixtureDisplayService> displays,
                                     double framesPerSecond = 0);
    ~SyntheticCaptureService() override;

    std::unique_ptr<CaptureStream> createStream(DisplayID display, std::int64_t width,
                                                std::int64_t height, std::uint32_t pixelFormat,
                                                const StreamProperties& properties,
                                                std::shared_ptr<DispatchQueue> queue,
                                                FrameHandler handler) override;

    void setRefuseCreation(bool refuse) { refuseCreation_ = refuse; }
    // Delivers one update to every started stream of `display`; a complete update
    // carries a freshly painted frame. Returns how many streams received it.
    int emit(DisplayID display, FrameStatus status);

    std::vector<CreatedStream> createdStreams() const;
    int startCount(DisplayID display) const;
    int stopCount(DisplayID display) const;
    int liveStreamCount() const;

    class Stream;

private:
    friend class Stream;
    void forget(Stream* stream);

    std::shared_ptr<FixtureDisplayService> displays_;
    double framesPerSecond_;
    std::atomic<bool> refuseCreation_{false};
    mutable std::mutex mutex_;
    std::vector<Stream*> streams_;
    std::vector<CreatedStream> created_;
    std::vector<std::pair<DisplayID, bool>> startsAndStops_;
};

} // namespace overlook::fixture
