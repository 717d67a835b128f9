#include "FixtureEnvironment.h"

#include <sstream>

namespace overlook::test {

FixtureEnvironment::FixtureEnvironment(const std::string& json, double framesPerSecond)
    : displays_(std::make_shared<fixture::FixtureDisplayService>(fixture::parseArrangement(json))),
      capture_(std::make_shared<fixture::SyntheticCaptureService>(displays_, framesPerSecond)) {
    manualMainQueue().drain();
    setDisplayQueryService(displays_);
    setCaptureService(capture_);
}

FixtureEnvironment::~FixtureEnvironment() {
    manualMainQueue().drain();
    setCaptureService(nullptr);
    setDisplayQueryService(nullptr);
}

void FixtureEnvironment::settle(DispatchQueue& queue) {
    queue.sync([] {});
    manualMainQueue().drain();
}

std::string displayJson(unsigned id, int unit, const std::string& name, double x, double y, double w,
                        double h, bool isMain, double rotation) {
    std::ostringstream out;
    out << R"({"id": )" << id << R"(, "unitNumber": )" << unit << R"(, "name": ")" << name
        << R"(", "bounds": [)" << x << ", " << y << ", " << w << ", " << h << R"(], "main": )"
        << (isMain ? "true" : "false") << R"(, "rotation": )" << rotation << "}";
    return out.str();
}

std::string arrangementJson(const std::vector<std::string>& displays) {
    std::string out = R"({"displays": [)";
    for (std::size_t i = 0; i < displays.size(); ++i)
        out += (i ? ", " : "") + displays[i];
    return out + "]}";
}

} // namespace overlook::test
