#include <gtest/gtest.h>
#include <boost/thread.hpp>
#include <boost/filesystem.hpp>
TEST(Smoke, Thread) { int x = 0; boost::thread t([&]{ x = 1; }); t.join(); EXPECT_EQ(x, 1); EXPECT_FALSE(boost::filesystem::path("a/b").filename().empty()); }
