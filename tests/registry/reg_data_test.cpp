// What stored registry data mean, apart from the registry: the conversions
// Reg and the settings loader share.

#include "registry/RegData.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/optional/optional_io.hpp>
#include <gtest/gtest.h>

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
namespace dt = boost::date_time;

namespace {

TEST(RegData, NumbersComeFromDataOfUpToFourBytesWhateverTheirType)
{
    const std::uint8_t data[] = {0x78, 0x56, 0x34, 0x12, 0x01};
    const struct {
        std::size_t size;
        boost::optional<std::int32_t> expected;
    } cases[] = {
        {0, 0}, {1, 0x78}, {2, 0x5678}, {3, 0x345678}, {4, 0x12345678}, {5, boost::none},
    };
    for (const auto& c : cases)
        EXPECT_EQ(integerFromData(data, c.size), c.expected) << c.size << " bytes";
    const std::uint8_t allOnes[] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(integerFromData(allOnes, 4), -1);
}

TEST(RegData, TextEndsAtTheFirstNulOrTheLastWholeUnit)
{
    const struct {
        std::vector<std::uint8_t> data;
        std::u16string expected;
    } cases[] = {
        {{'a', 0, 'b', 0, 0, 0}, u"ab"},
        {{'a', 0, 'b', 0}, u"ab"},       // no NUL
        {{'a', 0, 'b'}, u"a"},           // an odd last byte is no unit
        {{'x', 0, 0, 0, 'y', 0}, u"x"},  // text after a NUL is not read
        {{}, u""},
        {{0x00, 0xD8, '1', 0},
         u"\xD800"
         u"1"},  // a lone surrogate is kept as stored
        {{0xE9, 0x00, 0x2D, 0x4E}, u"\u00E9\u4E2D"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(textFromData<char16_t>(c.data.data(), c.data.size()), c.expected) << c.data.size() << " bytes";
}

TEST(RegData, WeekdaysAreStoredFromMonday)
{
    for (std::int32_t stored = 0; stored < 7; ++stored) {
        const dt::weekdays day = weekdayFromStored(stored, dt::Wednesday);
        EXPECT_EQ(int(day), (stored + 1) % 7);
        EXPECT_EQ(weekdayToStored(day), stored);
    }
    for (std::int32_t outside : {-1, 7, noStoredWeekday, INT32_MIN, INT32_MAX})
        EXPECT_EQ(weekdayFromStored(outside, dt::Friday), dt::Friday) << outside;
}

TEST(RegData, DateAndTimeTextNamesAMomentOfTheCalendarOrGivesTheDefault)
{
    const ptime def = boost::posix_time::from_time_t(0);
    const struct {
        const char* text;
        ptime expected;
    } cases[] = {
        {"2014-05-01T06:30:00", time_from_string("2014-05-01 06:30:00")},
        {"2014-05-01T06:30:00.5", time_from_string("2014-05-01 06:30:00.5")},
        {"1400-01-01T00:00:00", time_from_string("1400-01-01 00:00:00")},
        {"9999-12-31T23:59:59.999999", time_from_string("9999-12-31 23:59:59.999999")},
        {"2024-01-01T25:00:00", time_from_string("2024-01-02 01:00:00")},  // hours roll over, as parsed
        {"2014-05-01", def},
        {"2014-13-01T06:30:00", def},
        {"not-a-date-time", def},
        {"", def},
        // Parsed, but past either end of the calendar.
        {"9999-12-31T24:00:00", def},
        {"1400-01-01T-00:00:01", def},
        {"2024-01-01T99999999:00:00", def},
        {"2024-01-01T9223372036854:00:00", def},
    };
    for (const auto& c : cases)
        EXPECT_EQ(momentFromText(c.text, def), c.expected) << c.text;
}

}  // namespace
