#include "CaptureService.h"

#include <mutex>

namespace overlook {

namespace {
std::mutex gCaptureMutex;
std::shared_ptr<CaptureService> gCapture;
} // namespace

CaptureService* captureService() {
    std::lock_guard lock(gCaptureMutex);
    return gCapture.get();
}

void setCaptureService(std::shared_ptr<CaptureService> service) {
    std::lock_guard lock(gCaptureMutex);
    gCapture = std::move(service);
}

} // namespace overlook
