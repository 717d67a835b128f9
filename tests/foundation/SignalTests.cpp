#include "Foundation/Signal.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace overlook;

namespace {
struct Model : ObservableObject {
    Published<int> count{*this, 0};
    Published<std::string> name{*this, "a"};
};
} // namespace

TEST(Published, WillChangeFiresBeforeEveryAssignmentEvenWhenEqual) {
    Model m;
    std::vector<std::string> events;
    ScopedConnection c1 = m.objectWillChange.connect([&] { events.push_back("will:" + std::to_string(m.count.get())); });
    ScopedConnection c2 = m.count.changed.connect([&](const int& v) { events.push_back("did:" + std::to_string(v)); });
    m.count = 1;
    m.count = 1;
    m.name = "a";
    EXPECT_EQ(events, (std::vector<std::string>{"will:0", "did:1", "will:1", "did:1", "will:1"}));
}

TEST(Signal, ConnectionsEndWithTheirOwnerTheSignalOrThemselvesWhileCalled) {
    Model m;
    int calls = 0;
    {
        ScopedConnection scoped = m.count.changed.connect([&](const int&) { ++calls; });
        m.count = 2;
    }
    m.count = 3;
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(m.count.changed.slotCount(), 0u);

    Connection plain;
    {
        Signal<int> temporary;
        plain = temporary.connect([](int) {});
        EXPECT_TRUE(plain.connected());
    }
    EXPECT_FALSE(plain.connected());
    plain.disconnect(); // harmless after the signal is gone

    Signal<> s;
    Connection self = s.connect([&] { ++calls; self.disconnect(); });
    s.emit();
    s.emit();
    EXPECT_EQ(calls, 2);
}
