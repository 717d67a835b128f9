#pragma once
// A DisplayStreamView whose bound values the tests change, on the offscreen platform.

#include "PictureSupport.h"
#include "Tessera/DisplayRenderingView/DisplayStreamView.h"
#include "Tessera/DisplayRenderingView/OffscreenApplication.h"
#include "tests/support/FixtureEnvironment.h"

namespace overlook::test {

struct ViewBindings : ::testing::Test {
    void SetUp() override { ensureOffscreenApplication(); }

    std::vector<DisplayStreamerPtr> streams;
    double scale = 4;
    bool showCrosshair = false;
    double lineWidth = 3;
    Color lineColor{1, 0, 0, 1};
    bool desaturate = true;
    DisplayStreamView wrapper{Binding<std::vector<DisplayStreamerPtr>>::to(streams), Binding<double>::to(scale),
                              Binding<bool>::to(showCrosshair),  Binding<double>::to(lineWidth),
                              Binding<Color>::to(lineColor),     Binding<bool>::to(desaturate)};

    std::unique_ptr<RenderingView> make() { return std::unique_ptr<RenderingView>(wrapper.makeView()); }
    void update(RenderingView& view) {
        wrapper.updateView(&view);
        FixtureEnvironment::drainMain();
    }
    static std::uint32_t pixel(const RenderingView& view, int x, int y) {
        return reinterpret_cast<const std::uint32_t*>(view.drawable().constScanLine(y))[x];
    }
};

} // namespace overlook::test
