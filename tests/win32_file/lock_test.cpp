// Whole-file locks against real files, contended by a second process
// (file_holder) or by a second handle of this one.

#include "win32_file_handle/win32_file_lock.h"

#include "support/ConsoleCapture.h"
#include "support/Eventually.h"
#include "support/FileFailure.h"
#include "support/FileHolder.h"
#include "support/InterruptedWait.h"
#include "support/SameFile.h"
#include "support/TempDirectory.h"

#include <boost/iostreams/stream.hpp>
#include <boost/thread/thread.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <future>

namespace {

using boost::chrono::milliseconds;
using win32_file::disposition;
using win32_file::handle_lock;
using win32_file::rights;

const boost::chrono::seconds joinLimit(20);
const boost::chrono::milliseconds stillWaitingAfter(300);

class LockTest : public ::testing::Test {
protected:
    void SetUp() override { path = dir.write("f.ini", "0123456789"); }

    handle_lock open(rights granted) { return handle_lock(win32_file::id{path}, disposition::open_existing, granted); }

    TempDirectory dir;
    std::string path;
    FileHolder holder;
};

void expectLockedOut(const std::function<void()>& takeLock, const std::string& path)
{
    try {
        takeLock();
        ADD_FAILURE() << "lock taken";
    } catch (const win32_file::temporarily_unavailable& e) {
        EXPECT_EQ(nestedFailure(e), (FileFailure{ERROR_LOCK_VIOLATION, "LockFile", path}));
    }
}

struct Contention {
    const char* name;
    const char* held;  // the other process's lock
    bool exclusive;    // ours
    bool granted;
};

class LockContention : public LockTest, public ::testing::WithParamInterface<Contention> {};

TEST_P(LockContention, ReadersShareAndWritersExclude)
{
    holder.require("open " + path);
    holder.require(std::string("lock ") + GetParam().held);
    handle_lock handle(win32_file::id{path}, disposition::open_existing, rights::none);
    const auto takeLock = [&] { win32_file::io_lock lock(handle, GetParam().exclusive, milliseconds(0)); };
    if (GetParam().granted)
        EXPECT_NO_THROW(takeLock());
    else
        expectLockedOut(takeLock, path);
}

INSTANTIATE_TEST_SUITE_P(Table, LockContention,
                         ::testing::Values(Contention{"TwoReaders", "shared", false, true},
                                           Contention{"WriterAfterReader", "shared", true, false},
                                           Contention{"ReaderAfterWriter", "exclusive", false, false},
                                           Contention{"TwoWriters", "exclusive", true, false}),
                         [](const ::testing::TestParamInfo<Contention>& info) { return std::string(info.param.name); });

TEST_F(LockTest, OurLocksKeepTheOtherProcessOutUntilReleased)
{
    holder.require("open " + path);
    handle_lock handle = open(rights::none);
    {
        win32_file::read_lock reading(handle);
        EXPECT_EQ(holder.command("lock shared"), "ok 10");
        holder.require("unlock");
        EXPECT_EQ(holder.command("lock exclusive"), "error 33");
    }
    {
        win32_file::write_lock writing(handle);
        EXPECT_EQ(holder.command("lock shared"), "error 33");
    }
    EXPECT_EQ(holder.command("lock exclusive"), "ok 10");
}

TEST_F(LockTest, SecondHandleOfTheSameProcessConflicts)
{
    handle_lock first = open(rights::read);
    handle_lock second = open(rights::read);
    win32_file::read_lock reading(first);
    EXPECT_NO_THROW(win32_file::read_lock(second, milliseconds(0)));
    expectLockedOut([&] { win32_file::write_lock(second, milliseconds(0)); }, path);
}

TEST_F(LockTest, WithoutTimeoutTheLockIsTakenOnceTheOtherProcessUnlocks)
{
    holder.require("open " + path);
    holder.require("lock exclusive");
    handle_lock handle = open(rights::none);
    std::promise<void> locked;
    std::promise<void> release;
    boost::thread locker([&] {
        win32_file::write_lock writing(handle);
        locked.set_value();
        release.get_future().wait();
    });
    std::future<void> lockTaken = locked.get_future();
    EXPECT_EQ(lockTaken.wait_for(std::chrono::milliseconds(stillWaitingAfter.count())), std::future_status::timeout);
    holder.require("unlock");
    ASSERT_EQ(lockTaken.wait_for(std::chrono::seconds(joinLimit.count())), std::future_status::ready);
    EXPECT_EQ(holder.command("lock shared"), "error 33");
    release.set_value();
    ASSERT_TRUE(locker.try_join_for(joinLimit));
}

// The log line of the console text that holds `text`; empty when none does.
std::string logLineWith(const std::string& console, const std::string& text)
{
    const std::size_t at = console.find(text);
    if (at == std::string::npos)
        return std::string();
    const std::size_t begin = console.rfind('\n', at) + 1;
    return console.substr(begin, console.find('\n', at) - begin);
}

// A lock that another process keeps for seconds: the wait is logged once
// it has lasted a few seconds, naming the file, and its end with its length.
TEST_F(LockTest, ALongWaitIsLoggedNamingTheFileAndSoIsItsEnd)
{
    holder.require("open " + path);
    holder.require("lock exclusive");
    ConsoleCapture console;
    boost::thread locker([&] { win32_file::locked_handle locked(path, win32_file::open_write); });
    const std::string waiting = "Waiting for " + path + ", which another program holds";
    ASSERT_TRUE(eventually([&] { return console.count(waiting) > 0; }, 30000, 10)) << console.text();
    EXPECT_NE(logLineWith(console.text(), waiting).find(": WARN: "), std::string::npos) << console.text();
    holder.require("unlock");
    ASSERT_TRUE(locker.try_join_for(joinLimit));
    const std::string ended = logLineWith(console.text(), " s for " + path);
    EXPECT_NE(ended.find(": INFO: "), std::string::npos) << console.text();
    EXPECT_NE(ended.find(": Waited "), std::string::npos) << console.text();
    EXPECT_EQ(console.count(waiting), 1u) << console.text();
}

TEST_F(LockTest, InterruptedLockLeavesWithTheInterruptionAndNothingOpen)
{
    holder.require("open " + path);
    holder.require("lock exclusive");
    EXPECT_TRUE(waitEndsByInterruption([&] { win32_file::locked_handle locked(path, win32_file::open_write); }));
    holder.require("close");
    EXPECT_EQ(holder.command("deny " + path), "ok");
}

TEST_F(LockTest, ExclusiveLockOnAHandleWithoutRightsReopensItForReadAndWrite)
{
    {
        handle_lock handle = open(rights::none);
        const HANDLE old = handle.handle();
        win32_file::write_lock writing(handle);
        EXPECT_TRUE(handle.hasRead());
        EXPECT_TRUE(handle.hasWrite());
        EXPECT_FALSE(opensSameFile(old, handle.handle()));
        boost::iostreams::stream<win32_file::device> io(writing.device());
        io << "abc" << std::flush;
        EXPECT_TRUE(io.good());
    }
    EXPECT_EQ(dir.read("f.ini"), "abc3456789");
}

TEST_F(LockTest, TruncateCutsAtTheHandlePosition)
{
    {
        handle_lock handle = open(rights::read_write);
        win32_file::write_lock writing(handle);
        boost::iostreams::stream<win32_file::device> io(writing.device());
        io << "abcd" << std::flush;
        writing.truncate();
    }
    EXPECT_EQ(dir.read("f.ini"), "abcd");
}

TEST_F(LockTest, TruncateFailureIsReported)
{
    handle_lock handle = open(rights::read);
    win32_file::read_lock reading(handle);
    // A read-only handle cannot move the end of the file.
    try {
        win32_file::setEndOfFile(handle.handle());
        FAIL() << "truncated through a read-only handle";
    } catch (const boost::system::system_error& e) {
        // Windows reports ERROR_ACCESS_DENIED, Wine ERROR_INVALID_PARAMETER.
        EXPECT_NE(e.code().value(), 0);
        EXPECT_EQ(std::string(e.what()).find("File truncation failed"), 0u) << e.what();
        EXPECT_NE(boost::get_error_info<boost::throw_function>(e), nullptr);
    }
}

struct LockedHandleCase {
    const char* name;
    unsigned flags;
    bool withTimeout;
    const char* otherLockAfterwards;  // answer to the other process's "lock shared"
    const char* content;              // of the file while locked
};

class LockedHandle : public LockTest, public ::testing::WithParamInterface<LockedHandleCase> {};

TEST_P(LockedHandle, OpensAndLocksByFlags)
{
    const LockedHandleCase& c = GetParam();
    holder.require("open " + path);
    auto locked = c.withTimeout ? std::make_unique<win32_file::locked_handle>(path, c.flags, milliseconds(0))
                                : std::make_unique<win32_file::locked_handle>(path, c.flags);
    EXPECT_EQ(holder.command("lock shared"), c.otherLockAfterwards);
    EXPECT_EQ(locked->handle().hasWrite(), (c.flags & win32_file::open_write) != 0);
    locked.reset();
    EXPECT_EQ(dir.read("f.ini"), c.content);
    holder.command("unlock");  // of the shared lock, if it was granted
    EXPECT_EQ(holder.command("lock exclusive"), "ok " + std::to_string(std::string(c.content).size()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, LockedHandle,
    ::testing::Values(LockedHandleCase{"Read", 0x00, false, "ok 10", "0123456789"},
                      LockedHandleCase{"ReadWithTimeout", 0x01, true, "ok 10", "0123456789"},
                      LockedHandleCase{"Write", 0x02, false, "error 33", "0123456789"},
                      LockedHandleCase{"WriteWithTimeout", 0x03, true, "error 33", "0123456789"},
                      LockedHandleCase{"Truncate", 0x12, false, "error 33", ""},
                      LockedHandleCase{"TruncateWithTimeout", 0x13, true, "error 33", ""},
                      // truncation only comes with write
                      LockedHandleCase{"TruncateWithoutWrite", 0x10, false, "ok 10", "0123456789"}),
    [](const ::testing::TestParamInfo<LockedHandleCase>& info) { return std::string(info.param.name); });

TEST_F(LockTest, LockedHandleForWritingCreatesAMissingFileButReadingDoesNot)
{
    {
        win32_file::locked_handle created(dir.path("new.ini"), win32_file::open_write);
    }
    EXPECT_TRUE(dir.exists("new.ini"));
    try {
        win32_file::locked_handle missing(dir.path("missing.ini"), 0);
        FAIL() << "opened a missing file";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(describe(e), (FileFailure{ERROR_FILE_NOT_FOUND, "CreateFile", dir.path("missing.ini")}));
    }
    EXPECT_FALSE(dir.exists("missing.ini"));
}

TEST_F(LockTest, LockedHandleThatCannotLockClosesItsHandle)
{
    holder.require("open " + path);
    holder.require("lock shared");
    expectLockedOut(
        [&] { win32_file::locked_handle(path, win32_file::open_write | win32_file::open_truncate, milliseconds(0)); },
        path);
    EXPECT_EQ(dir.read("f.ini"), "0123456789");
    holder.require("close");
    EXPECT_EQ(holder.command("deny " + path), "ok");
}

// state::getValue returns only after the clock has passed the stamp by the
// resolution the stamp shows; the stamp is put just ahead of now so that the
// wait stays short.
struct StampCase {
    const char* name;
    unsigned long long grid;    // the stamp is the next multiple of it ...
    unsigned long long offset;  // ... plus this
    unsigned long long resolution;
};

class StateStamp : public LockTest, public ::testing::WithParamInterface<StampCase> {};

unsigned long long systemTimeNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

TEST_P(StateStamp, ReturnsTheLastWriteTimeOnceTheClockHasPassedItsResolution)
{
    const StampCase& c = GetParam();
    const unsigned long long stamp = (systemTimeNow() / c.grid + 1) * c.grid + c.offset;
    handle_lock handle = open(rights::read_write);
    FILETIME written = {static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)};
    ASSERT_TRUE(SetFileTime(handle.handle(), nullptr, nullptr, &written));

    EXPECT_EQ(win32_file::state::getValue(handle), stamp);
    EXPECT_GT(systemTimeNow(), stamp + c.resolution);
}

INSTANTIATE_TEST_SUITE_P(Table, StateStamp,
                         ::testing::Values(StampCase{"TwoSeconds", 20000000, 0, 20000000},
                                           StampCase{"TenMilliseconds", 20000000, 100000, 100000},
                                           StampCase{"Exact", 100000, 12345, 0}),
                         [](const ::testing::TestParamInfo<StampCase>& info) { return std::string(info.param.name); });

}  // namespace
