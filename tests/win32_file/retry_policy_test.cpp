// The back-off of one operation, driven by a clock and waits of the test's
// own, and its exceptions.

#include "win32_file_handle/win32_file_retry.h"

#include <boost/exception/errinfo_api_function.hpp>
#include <boost/exception/errinfo_file_name.hpp>
#include <boost/exception/errinfo_nested_exception.hpp>
#include <boost/exception/get_error_info.hpp>
#include <boost/exception_ptr.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <regex>
#include <vector>

#include "support/ConsoleCapture.h"

namespace {

using boost::chrono::milliseconds;

// Time moves only when the code under test sleeps; every wait is recorded
// (a yield as -1, a sleep as its length).
class FakeEnvironment : public win32_file::retry_environment {
public:
    time_point now() override { return clock; }
    void yield() override { waits.push_back(yieldMark); }
    void sleep(milliseconds length) override
    {
        waits.push_back(length.count());
        clock += length;
    }

    static constexpr long long yieldMark = -1;
    time_point clock{};
    std::vector<long long> waits;
};

const char* const somePath = "C:\\some\\file.ini";

void failOnce(win32_file::retryTimer& timer, DWORD error,
              win32_file::retry_test test = win32_file::isSharingOrLockViolation)
{
    win32_file::retryOrThrow(test, error, BOOST_CURRENT_LOCATION, timer, somePath, "CreateFile");
}

TEST(RetryPolicy, WaitsTenYieldsThenGrowingSleepsUpToTheCeiling)
{
    FakeEnvironment environment;
    win32_file::retryTimer timer(boost::none, somePath, environment);
    for (int attempt = 0; attempt < 25; ++attempt)
        failOnce(timer, ERROR_SHARING_VIOLATION);

    // Ten yields, the zero-length sleep (which never reaches the
    // environment), 10 ... 90 ms, then 100 ms for good.
    std::vector<long long> expected(10, FakeEnvironment::yieldMark);
    for (long long ms = 10; ms <= 90; ms += 10)
        expected.push_back(ms);
    expected.insert(expected.end(), 5, 100);
    EXPECT_EQ(environment.waits, expected);
}

struct DeadlineCase {
    long long timeoutMs;
    int attempts;  // failed attempts until the caller is told to give up
};

class RetryDeadline : public ::testing::TestWithParam<DeadlineCase> {};

// The deadline is looked at after each failed attempt, before the wait, and
// has passed once now is at or after it. Sleeps end at 0, 10, 30, 60, 100,
// 150, 210, 280 ms of the fake clock, after attempts 11 ... 18.
TEST_P(RetryDeadline, IsLookedAtAfterEachFailedAttempt)
{
    FakeEnvironment environment;
    win32_file::retryTimer timer(milliseconds(GetParam().timeoutMs), somePath, environment);
    int attempts = 0;
    try {
        for (;;) {
            ++attempts;
            failOnce(timer, ERROR_LOCK_VIOLATION);
        }
    } catch (const win32_file::temporarily_unavailable&) {
    }
    EXPECT_EQ(attempts, GetParam().attempts);
}

INSTANTIATE_TEST_SUITE_P(Table, RetryDeadline,
                         ::testing::Values(DeadlineCase{0, 1}, DeadlineCase{1, 13}, DeadlineCase{10, 13},
                                           DeadlineCase{11, 14}, DeadlineCase{250, 19}));

struct ErrorCase {
    const char* test;
    win32_file::retry_test retryable;
    DWORD error;
    bool retried;
};

class RetryErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(RetryErrors, OnlyViolationsOfTheTestAreRetried)
{
    FakeEnvironment environment;
    win32_file::retryTimer timer(boost::none, somePath, environment);
    if (GetParam().retried) {
        EXPECT_NO_THROW(failOnce(timer, GetParam().error, GetParam().retryable));
        EXPECT_EQ(environment.waits.size(), 1u);
    } else {
        try {
            failOnce(timer, GetParam().error, GetParam().retryable);
            FAIL() << "no exception";
        } catch (const win32_file::temporarily_unavailable&) {
            FAIL() << "a failure that is not retried must not be reported as temporary";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code().value(), static_cast<int>(GetParam().error));
            EXPECT_EQ(e.code().category(), boost::system::system_category());
        }
        EXPECT_TRUE(environment.waits.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RetryErrors,
    ::testing::Values(ErrorCase{"open", win32_file::isSharingOrLockViolation, ERROR_SHARING_VIOLATION, true},
                      ErrorCase{"open", win32_file::isSharingOrLockViolation, ERROR_LOCK_VIOLATION, true},
                      ErrorCase{"open", win32_file::isSharingOrLockViolation, ERROR_FILE_NOT_FOUND, false},
                      ErrorCase{"open", win32_file::isSharingOrLockViolation, ERROR_ACCESS_DENIED, false},
                      ErrorCase{"lock", win32_file::isLockViolation, ERROR_LOCK_VIOLATION, true},
                      ErrorCase{"lock", win32_file::isLockViolation, ERROR_SHARING_VIOLATION, false}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) {
        return std::string(info.param.test) + "_" + std::to_string(info.param.error);
    });

TEST(RetryPolicy, FailureCarriesFunctionFileNameAndThrowSite)
{
    FakeEnvironment environment;
    win32_file::retryTimer timer(boost::none, somePath, environment);
    try {
        failOnce(timer, ERROR_ACCESS_DENIED);
        FAIL() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()).find("File open failed"), 0u) << e.what();
        ASSERT_NE(boost::get_error_info<boost::errinfo_api_function>(e), nullptr);
        EXPECT_STREQ(*boost::get_error_info<boost::errinfo_api_function>(e), "CreateFile");
        ASSERT_NE(boost::get_error_info<boost::errinfo_file_name>(e), nullptr);
        EXPECT_EQ(*boost::get_error_info<boost::errinfo_file_name>(e), somePath);
        ASSERT_NE(boost::get_error_info<boost::throw_file>(e), nullptr);
        ASSERT_NE(boost::get_error_info<boost::throw_line>(e), nullptr);
        EXPECT_NE(std::string(*boost::get_error_info<boost::throw_function>(e)).find("failOnce"), std::string::npos);
    }
}

TEST(RetryPolicy, GivingUpNestsTheLastFailure)
{
    FakeEnvironment environment;
    win32_file::retryTimer timer(milliseconds(0), somePath, environment);
    try {
        failOnce(timer, ERROR_SHARING_VIOLATION);
        FAIL() << "no exception";
    } catch (const win32_file::temporarily_unavailable& e) {
        EXPECT_STREQ(e.what(), "File temporarily unavailable");
        EXPECT_NE(boost::get_error_info<boost::throw_line>(e), nullptr);
        const boost::exception_ptr* nested = boost::get_error_info<boost::errinfo_nested_exception>(e);
        ASSERT_NE(nested, nullptr);
        try {
            boost::rethrow_exception(*nested);
        } catch (const boost::system::system_error& inner) {
            EXPECT_EQ(inner.code().value(), ERROR_SHARING_VIOLATION);
            EXPECT_STREQ(*boost::get_error_info<boost::errinfo_api_function>(inner), "CreateFile");
            EXPECT_EQ(*boost::get_error_info<boost::errinfo_file_name>(inner), somePath);
        }
    }
    EXPECT_TRUE(environment.waits.empty());
}

// With the real waits, yields and the zero-length sleep are no interruption
// points: a pending interruption ends the first real sleep (attempt 12).
TEST(RetryPolicy, SystemSleepsAreInterruptionPointsButYieldsAreNot)
{
    std::promise<void> interrupted;
    int completed = -1;
    bool sawInterruption = false;
    boost::thread waiter([&] {
        interrupted.get_future().wait();  // not an interruption point
        win32_file::retryTimer timer(boost::none, somePath);
        completed = 0;
        try {
            for (;;) {
                failOnce(timer, ERROR_LOCK_VIOLATION);
                ++completed;
            }
        } catch (const boost::thread_interrupted&) {
            sawInterruption = true;
        }
    });
    waiter.interrupt();
    interrupted.set_value();
    waiter.join();
    EXPECT_TRUE(sawInterruption);
    EXPECT_EQ(completed, 11);
}

// The messages of the log lines of this level in a console text.
std::vector<std::string> loggedAt(const std::string& text, const std::string& level)
{
    const std::regex line(": " + level + ": \\[[^\\]]*\\] : ([^\r\n]*)");
    std::vector<std::string> messages;
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
        messages.push_back((*it)[1]);
    return messages;
}

struct WaitReportCase {
    const char* name;
    boost::optional<long long> timeoutMs;
    int failures;  // failed attempts before the file is had (or the time-out)
    std::vector<std::string> warnings;
    std::vector<std::string> infos;
};

class WaitReport : public ::testing::TestWithParam<WaitReportCase> {};

// One operation's waits, as the fake clock counts them (sleeps of 0, 10,
// ... 90 ms after ten yields, then 100 ms each): a wait is told once it has
// lasted three seconds, and its end with its length, whether the file was
// had at last or the operation gave up.
TEST_P(WaitReport, LongWaitsAreLoggedWithTheirEndAndShortOnesAreNot)
{
    const WaitReportCase& c = GetParam();
    FakeEnvironment environment;
    ConsoleCapture console;
    const auto operation = [&] {
        win32_file::retryTimer timer(c.timeoutMs ? win32_file::timeout(milliseconds(*c.timeoutMs)) : boost::none,
                                     somePath, environment);
        for (int attempt = 0; attempt < c.failures; ++attempt)
            failOnce(timer, ERROR_LOCK_VIOLATION);
    };
    if (c.timeoutMs)
        EXPECT_THROW(operation(), win32_file::temporarily_unavailable);
    else
        operation();
    EXPECT_EQ(loggedAt(console.text(), "WARN"), c.warnings) << console.text();
    EXPECT_EQ(loggedAt(console.text(), "INFO"), c.infos) << console.text();
}

const std::string waiting = std::string("Waiting for ") + somePath + ", which another program holds";

// 20 failures wait 450 ms; every further one 100 ms more.
INSTANTIATE_TEST_SUITE_P(
    Table, WaitReport,
    ::testing::Values(
        WaitReportCase{"AFewHundredMilliseconds", boost::none, 20, {}, {}},
        WaitReportCase{"JustUnderTheThreshold", boost::none, 45, {}, {}},
        WaitReportCase{
            "HadAfterFiveSeconds", boost::none, 66, {waiting}, {std::string("Waited 5.1 s for ") + somePath}},
        WaitReportCase{"GivenUpAfterFourSeconds",
                       4000LL,
                       1000,
                       {waiting, std::string("Stopped waiting for ") + somePath + " after 4.1 s"},
                       {}}),
    [](const ::testing::TestParamInfo<WaitReportCase>& info) { return std::string(info.param.name); });

}  // namespace
