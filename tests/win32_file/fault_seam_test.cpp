// The file layer's fault seam, armed in this process: what it decides
// reaches the layer's callers as a real failure would, and the retries wait
// on its clock.

#include "win32_file_handle/win32_file_calls.h"
#include "win32_file_handle/win32_file_lock.h"
#include "win32_file_handle/win32_file_retry.h"

#include "support/TempDirectory.h"
#include "support/TestInputs.h"

#include <boost/chrono.hpp>
#include <boost/system/system_error.hpp>

#include <gtest/gtest.h>

#include <ios>
#include <map>
#include <system_error>

namespace {

using win32_file::disposition;
using win32_file::file_call;
using win32_file::rights;

// Fails every call of one kind with an error, or stores at most `stored`
// bytes of each write; counts the calls it sees. Its clock moves only by
// the retries' sleeps.
class ScriptedSeam : public win32_file::fault_seam, public win32_file::retry_environment {
public:
    ScriptedSeam() { win32_file::armFaultSeam(this); }
    ~ScriptedSeam() { win32_file::armFaultSeam(nullptr); }

    win32_file::call_outcome before(file_call call, const boost::filesystem::path&, DWORD, boost::uint64_t) override
    {
        ++seen[call];
        win32_file::call_outcome outcome;
        if (call == failing)
            outcome.error = error;
        if (call == file_call::write)
            outcome.stored = stored;
        return outcome;
    }
    win32_file::retry_environment& waits() override { return *this; }
    time_point now() override { return start + boost::chrono::milliseconds(slept); }
    void yield() override {}
    void sleep(boost::chrono::milliseconds length) override { slept += length.count(); }

    boost::optional<file_call> failing;
    DWORD error = 0;
    boost::optional<DWORD> stored;
    std::map<file_call, int> seen;
    boost::int64_t slept = 0;

private:
    const time_point start = boost::chrono::steady_clock::now();
};

class FaultSeamTest : public ::testing::Test {
protected:
    std::string path() const { return dir.path("file"); }
    win32_file::id file() const { return win32_file::id{path()}; }

    TempDirectory dir;
};

// A disk that stores part of each write: both ways of writing, at an offset
// and at the handle's position (a stream's), go on from where each write
// stopped.
TEST_F(FaultSeamTest, AShortWriteIsCarriedOnByEitherWayOfWriting)
{
    win32_file::handle_lock handle(file(), disposition::open_always, rights::read_write);
    ScriptedSeam seam;
    seam.stored = 3;
    handle.write(0, "0123456789", 10);
    EXPECT_EQ(seam.seen[file_call::write], 4);  // 3 + 3 + 3 + 1 bytes
    win32_file::device device = handle.device();
    device.seek(2, std::ios_base::beg);
    EXPECT_EQ(device.write("abcdef", 6), 6);
    EXPECT_EQ(seam.seen[file_call::write], 6);  // 3 + 3 bytes
    EXPECT_EQ(readFileBytes(path()), "01abcdef89");
}

// A full disk, reported as an error or as a write that stores nothing: the
// failure carries the system's code whichever way the bytes went, and a
// stream's caller gets it as a stream failure.
TEST_F(FaultSeamTest, AFullDiskFailsEitherWayOfWritingWithTheSystemsCode)
{
    struct Case {
        const char* name;
        DWORD error;  // 0: the write succeeds, storing nothing
    };
    for (const Case& c : {Case{"disk full", ERROR_DISK_FULL}, Case{"nothing stored", 0}}) {
        SCOPED_TRACE(c.name);
        win32_file::handle_lock handle(file(), disposition::open_always, rights::read_write);
        ScriptedSeam seam;
        if (c.error) {
            seam.failing = file_call::write;
            seam.error = c.error;
        } else {
            seam.stored = 0;
        }
        try {
            handle.write(0, "x", 1);
            ADD_FAILURE() << "no failure at an offset";
        } catch (const boost::system::system_error& failure) {
            EXPECT_EQ(failure.code().value(), int(ERROR_DISK_FULL));
        }
        win32_file::device device = handle.device();
        try {
            device.write("x", 1);
            ADD_FAILURE() << "no failure at the position";
        } catch (const std::ios_base::failure& failure) {
            EXPECT_EQ(failure.code(), std::error_code(ERROR_DISK_FULL, std::system_category()));
        }
    }
}

// A lock another handle keeps past the time-out: the retries wait on the
// seam's clock, and the layer gives up as it does for real.
TEST_F(FaultSeamTest, ALockViolationOutlastingTheTimeoutWaitsOnTheSeamsClock)
{
    win32_file::handle_lock handle(file(), disposition::open_always, rights::read_write);
    ScriptedSeam seam;
    seam.failing = file_call::lock;
    seam.error = ERROR_LOCK_VIOLATION;
    EXPECT_THROW(win32_file::write_lock(handle, boost::chrono::milliseconds(2000)),
                 win32_file::temporarily_unavailable);
    EXPECT_GE(seam.slept, 2000);
    EXPECT_GT(seam.seen[file_call::lock], 10);
}

}  // namespace
