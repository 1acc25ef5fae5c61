#pragma once
// What the registry's stored data mean, apart from the registry calls that
// fetch them: Reg reads through these conversions, and so can a test that
// feeds the settings loader from memory. None of them throws for any data.
// No Windows header.

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/optional/optional.hpp>

// A number from data of up to 4 bytes, whatever the value's type: a little-
// endian 32-bit integer whose missing high bytes are zero. None when the data
// are longer.
boost::optional<std::int32_t> integerFromData(const std::uint8_t* data, std::size_t size);

// The text of string data: UTF-16 code units, little-endian, up to the first
// NUL or the end of the data (an odd last byte is no unit). Char is a 2-byte
// character type: wchar_t on Windows, char16_t anywhere.
template <class Char>
std::basic_string<Char> textFromData(const std::uint8_t* data, std::size_t size)
{
    static_assert(sizeof(Char) == 2, "registry text is UTF-16");
    std::basic_string<Char> text;
    text.reserve(size / 2);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const Char unit = static_cast<Char>(data[i] | data[i + 1] << 8);
        if (unit == 0)
            break;
        text.push_back(unit);
    }
    return text;
}

// A weekday is read as a number with this default: outside 0 to 6, so that a
// missing value, like any other number, gives weekdayFromStored's default.
constexpr std::int32_t noStoredWeekday = 256;

// The registry numbers weekdays from 0 = Monday to 6 = Sunday, the date
// library from 0 = Sunday. Another stored number gives the default.
boost::date_time::weekdays weekdayFromStored(std::int32_t stored, boost::date_time::weekdays def);
// Monday to Saturday give 0 to 5; Sunday, and anything outside the seven
// days, gives 6.
std::int32_t weekdayToStored(boost::date_time::weekdays day);

// A date-and-time from ISO extended text such as 2014-05-01T06:30:00 (UTF-8).
// The default when the text is no such date-and-time, and also when it
// parses to a moment outside 1400-01-01 to 9999-12-31 ("9999-12-31T24:00:00",
// "2024-01-01T99999999:00:00"), which could be neither printed nor scheduled.
boost::posix_time::ptime momentFromText(const std::string& text, const boost::posix_time::ptime& def);
