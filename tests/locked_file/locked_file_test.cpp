// Readers, updaters and lockedFile on real files, contended by a second
// process (file_holder) or by a second handle of this one.

#include "locked_file/locked_file.h"

#include "support/FileFailure.h"
#include "support/FileHolder.h"
#include "support/InterruptedWait.h"
#include "support/TempDirectory.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/thread/thread.hpp>

#include <gtest/gtest.h>

#include <iterator>

namespace {

using boost::chrono::milliseconds;
using win32_file::disposition;
using win32_file::handle_lock;
using win32_file::rights;

class LockedFileTest : public ::testing::Test {
protected:
    void SetUp() override { path = dir.write("f.ini", std::string(100, 'x')); }

    handle_lock open(rights granted) { return handle_lock(win32_file::id{path}, disposition::open_existing, granted); }

    TempDirectory dir;
    std::string path;
};

std::string readRest(std::istream& in)
{
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(LockedFileTest, UpdaterRewritesTheStartAndTruncatesAfterAFlush)
{
    {
        handle_lock handle = open(rights::none);
        fileUpdater updater(handle, milliseconds(0));
        updater.stream() << "0123456789" << std::flush;
        updater.truncate();
    }
    EXPECT_EQ(dir.read("f.ini"), "0123456789");
}

TEST_F(LockedFileTest, ReaderReadsTheWholeFileAndOnlySetsFlagsAtTheEnd)
{
    dir.write("f.ini", "[Line01]\r\nMode=CNT\r\n");
    handle_lock handle = open(rights::none);
    fileReader reader(handle);
    EXPECT_EQ(readRest(reader.stream()), "[Line01]\r\nMode=CNT\r\n");
    int number = 0;
    EXPECT_NO_THROW(reader.stream() >> number);
    EXPECT_TRUE(reader.stream().eof());
    EXPECT_FALSE(reader.stream().bad());
}

TEST_F(LockedFileTest, DeviceErrorsAreThrown)
{
    handle_lock handle = open(rights::read);
    fileReader reader(handle);
    reader.stream() << "cannot be written through a read-only handle";
    EXPECT_THROW(reader.stream().flush(), std::ios_base::failure);
}

TEST_F(LockedFileTest, UnflushedOutputArrivesBeforeTheLockIsReleased)
{
    // Output written after the unlock races the waiting process for the
    // file and wins most single rounds (then the round passes); a round
    // takes a few milliseconds, so many rounds make a miss improbable.
    const int rounds = 250;
    FileHolder holder;
    holder.require("open " + path);
    for (int round = 0; round < rounds; ++round) {
        dir.write("f.ini", "");
        handle_lock handle = open(rights::none);
        auto updater = std::make_unique<fileUpdater>(handle);
        updater->stream() << "hello";
        // The other process is already waiting for the lock when it is
        // released (a process that came later would find the output there
        // even if it had been written after the unlock), and reports the
        // file's size as soon as it has the lock.
        holder.send("queuelock exclusive");
        ASSERT_EQ(holder.reply(), "waiting");
        updater.reset();
        ASSERT_EQ(holder.reply(), "ok 5") << "round " << round;
        holder.require("unlock");
    }
}

TEST_F(LockedFileTest, ReaderAndUpdaterOnTwoHandlesExcludeEachOther)
{
    handle_lock first = open(rights::none);
    handle_lock second = open(rights::none);
    {
        fileUpdater updater(first);
        try {
            fileReader reader(second, milliseconds(0));
            FAIL() << "read a file under update";
        } catch (const win32_file::temporarily_unavailable& e) {
            EXPECT_EQ(nestedFailure(e), (FileFailure{ERROR_LOCK_VIOLATION, "LockFile", path}));
        }
    }
    fileReader reader(first);
    EXPECT_NO_THROW(fileReader(second, milliseconds(0)));
    EXPECT_THROW(fileUpdater(second, milliseconds(0)), win32_file::temporarily_unavailable);
}

TEST_F(LockedFileTest, ModificationTimeIsInUtc)
{
    // On a machine whose local time is UTC the check below could not fail;
    // CTest runs this program in a zone with an offset.
    TIME_ZONE_INFORMATION zone;
    GetTimeZoneInformation(&zone);
    ASSERT_NE(zone.Bias, 0) << "run with TZ set to a zone with an offset, as CTest does";
    lockedFile file(dir.widePath("f.ini"), win32_file::open_write);
    file.stream() << "touch" << std::flush;
    const boost::posix_time::ptime written = file.getFileModificationTime();
    const boost::posix_time::ptime now = boost::posix_time::microsec_clock::universal_time();
    EXPECT_LT(abs((now - written).total_seconds()), 60) << written << " against " << now;
}

TEST_F(LockedFileTest, LockedFileTruncatingForWriteEmptiesTheFileAndLocksItExclusively)
{
    FileHolder holder;
    holder.require("open " + path);
    {
        lockedFile file(dir.widePath("f.ini"), win32_file::open_write | win32_file::open_truncate);
        EXPECT_EQ(holder.command("lock shared"), "error 33");
        file.stream() << "abc" << std::flush;
    }
    EXPECT_EQ(holder.command("lock shared"), "ok 3");
}

TEST_F(LockedFileTest, LockedFileTruncatesAtTheHandlePosition)
{
    {
        lockedFile file(dir.widePath("f.ini"), win32_file::open_read | win32_file::open_write, milliseconds(0));
        file.stream() << "abc" << std::flush;
        file.truncate();
    }
    EXPECT_EQ(dir.read("f.ini"), "abc");
}

TEST_F(LockedFileTest, LockedFileForReadingNeedsAnExistingFile)
{
    try {
        lockedFile file(dir.widePath("missing.ini"), 0);
        FAIL() << "opened a missing file";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(describe(e), (FileFailure{ERROR_FILE_NOT_FOUND, "CreateFile", dir.path("missing.ini")}));
        EXPECT_EQ(std::string(e.what()).find("File open failed"), 0u) << e.what();
    }
    EXPECT_FALSE(dir.exists("missing.ini"));
}

TEST_F(LockedFileTest, LockedFileSharesReadingWithAnotherProcessButNotWriting)
{
    FileHolder holder;
    holder.require("open " + path);
    holder.require("lock shared");
    lockedFile reading(dir.widePath("f.ini"), win32_file::open_read, milliseconds(0));
    EXPECT_EQ(readRest(reading.stream()), std::string(100, 'x'));
    EXPECT_THROW(lockedFile(dir.widePath("f.ini"), win32_file::open_write, milliseconds(0)),
                 win32_file::temporarily_unavailable);
}

TEST_F(LockedFileTest, InterruptedLockedFileLeavesWithTheInterruptionAndNothingOpen)
{
    FileHolder holder;
    holder.require("open " + path);
    holder.require("lock exclusive");
    EXPECT_TRUE(waitEndsByInterruption([&] { lockedFile file(dir.widePath("f.ini"), win32_file::open_read); }));
    holder.require("close");
    EXPECT_EQ(holder.command("deny " + path), "ok");
}

}  // namespace
