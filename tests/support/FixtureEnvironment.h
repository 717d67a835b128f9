#pragma once
// A fixture arrangement and a synthetic capture service as the process's services for a test.

#include "Foundation/Logger.h"
#include "Foundation/MainQueue.h"
#include "Platform/Fixture/FixtureDisplayService.h"
#include "Platform/Fixture/SyntheticCaptureService.h"

#include <memory>
#include <string>

namespace overlook::test {

class FixtureEnvironment {
public:
    explicit FixtureEnvironment(const std::string& arrangementJson, double framesPerSecond = 0);
    ~FixtureEnvironment();

    fixture::FixtureDisplayService& displays() { return *displays_; }
    fixture::SyntheticCaptureService& capture() { return *capture_; }

    // Waits until `queue` has run everything queued so far, then drains the main queue.
    static void settle(DispatchQueue& queue);
    static std::size_t drainMain() { return manualMainQueue().drain(); }

private:
    std::shared_ptr<fixture::FixtureDisplayService> displays_;
    std::shared_ptr<fixture::SyntheticCaptureService> capture_;
};

std::string displayJson(unsigned id, int unit, const std::string& name, double x, double y, double w,
                        double h, bool isMain = false, double rotation = 0);
std::string arrangementJson(const std::vector<std::string>& displays);

} // namespace overlook::test
