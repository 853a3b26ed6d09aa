#include "util/EventSlot.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace corvan;

namespace {

int CallThrough(const std::function<int(int)>& f) {
    return f ? f(1) : -1;
}

} // namespace

TEST(EventSlot, BehavesAsAFunctionSetClearedAndCalled) {
    TEventSlot<int(int)> slot;
    EXPECT_FALSE(slot);
    EXPECT_TRUE(slot == nullptr);
    EXPECT_THROW(slot(1), std::bad_function_call);
    EXPECT_EQ(CallThrough(slot), -1); // passed on as an empty function

    int base = 10;
    slot = [&base](int x) { return base + x; };
    ASSERT_TRUE(slot);
    EXPECT_EQ(slot(5), 15);
    EXPECT_EQ(CallThrough(slot), 11);

    slot = std::function<int(int)>(); // an empty function clears it
    EXPECT_FALSE(slot);
    slot = [](int x) { return x * 2; };
    slot = nullptr;
    EXPECT_FALSE(slot);
    EXPECT_THROW(slot(1), std::bad_function_call);
}

TEST(EventSlot, CopiesAreDeepAndMovesLeaveTheSourceEmpty) {
    std::string log;
    TEventSlot<void(const std::string&)> a = [&log](const std::string& s) { log += "a" + s; };
    TEventSlot<void(const std::string&)> b = a;
    b = [&log](const std::string& s) { log += "b" + s; }; // the copy changes alone
    a("1");
    b("2");
    EXPECT_EQ(log, "a1b2");

    TEventSlot<void(const std::string&)> c = std::move(a);
    c("3");
    EXPECT_EQ(log, "a1b2a3");
    a = c; // an empty slot takes a copy
    c = nullptr;
    a("4");
    EXPECT_EQ(log, "a1b2a3a4");
}
