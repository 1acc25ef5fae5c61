#include "registry/RegData.h"

#include <exception>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "date_range/DateRange.h"

boost::optional<std::int32_t> integerFromData(const std::uint8_t* data, std::size_t size)
{
    if (size > 4)
        return boost::none;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
        value |= std::uint32_t(data[i]) << (8 * i);
    return static_cast<std::int32_t>(value);
}

boost::date_time::weekdays weekdayFromStored(std::int32_t stored, boost::date_time::weekdays def)
{
    if (stored < 0 || stored > 6)
        return def;
    return static_cast<boost::date_time::weekdays>((stored + 1) % 7);
}

std::int32_t weekdayToStored(boost::date_time::weekdays day)
{
    if (day >= boost::date_time::Monday && day <= boost::date_time::Saturday)
        return static_cast<std::int32_t>(day) - 1;
    return 6;
}

boost::posix_time::ptime momentFromText(const std::string& text, const boost::posix_time::ptime& def)
{
    // A text without a time part is no date-and-time, although the parser
    // would accept it as midnight.
    if (text.find('T') == std::string::npos)
        return def;
    try {
        const auto moment = boost::date_time::parse_delimited_time<boost::posix_time::ptime>(text, 'T');
        // The parser adds the time of day to the date without a range check:
        // 24:00:00 of the last day, a negative time of the first, or a huge
        // hour count give a moment past the calendar.
        return isInDateRange(moment) ? moment : def;
    } catch (const std::exception&) {
        return def;
    }
}
