// ScopedHandle's ownership rules, seen through traits that record every
// close: each live handle is closed exactly once, by its last owner, and a
// value that owns nothing is never closed.

#include "handle/ScopedHandle.h"

#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<int> closed;

// Two values own nothing, as a failed open gives null or
// INVALID_HANDLE_VALUE for kernel handles.
struct RecordingTraits {
    typedef int Handle;
    static Handle none() noexcept { return 0; }
    static bool owns(Handle handle) noexcept { return handle != 0 && handle != -1; }
    static void close(Handle handle) noexcept { closed.push_back(handle); }
};

typedef ScopedHandle<RecordingTraits> Owner;

class ScopedHandleTest : public ::testing::Test {
protected:
    void SetUp() override { closed.clear(); }
};

TEST_F(ScopedHandleTest, ALiveHandleIsClosedOnceByItsLastOwner)
{
    {
        Owner first(7);
        Owner second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(first.get(), 0);
        Owner third;
        third = std::move(second);
        EXPECT_EQ(third.get(), 7);
        EXPECT_TRUE(closed.empty()) << "closed while still owned";
    }
    EXPECT_EQ(closed, std::vector<int>{7});
}

TEST_F(ScopedHandleTest, AssignmentAndResetCloseWhatWasOwnedBefore)
{
    Owner owner(1);
    owner = Owner(2);
    EXPECT_EQ(closed, std::vector<int>{1});
    owner.reset(3);
    EXPECT_EQ(closed, (std::vector<int>{1, 2}));
    owner.reset();
    EXPECT_EQ(closed, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(owner);
}

TEST_F(ScopedHandleTest, AssigningAnOwnerToItselfKeepsItsHandle)
{
    Owner owner(5);
    Owner& same = owner;
    owner = std::move(same);
    EXPECT_EQ(owner.get(), 5);
    EXPECT_TRUE(closed.empty());
}

TEST_F(ScopedHandleTest, ValuesThatOwnNothingAreNeverClosed)
{
    for (const int none : {0, -1}) {
        {
            Owner owner(none);
            EXPECT_FALSE(owner);
            owner.reset(none);
            owner = Owner(none);
        }
        EXPECT_TRUE(closed.empty()) << "closed " << none;
    }
}

}  // namespace
