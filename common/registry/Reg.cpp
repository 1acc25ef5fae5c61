#include "registry/Reg.h"

#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/locale/encoding_utf.hpp>
#include <boost/throw_exception.hpp>

namespace {

// The registry numbers weekdays from Monday, the date library from Sunday.
boost::date_time::weekdays weekdayFromRegistry(std::int32_t stored)
{
    return static_cast<boost::date_time::weekdays>((stored + 1) % 7);
}

std::int32_t weekdayToRegistry(boost::date_time::weekdays day)
{
    if (day >= boost::date_time::Monday && day <= boost::date_time::Saturday)
        return static_cast<std::int32_t>(day) - 1;
    return 6;  // Sunday, and anything outside the seven days
}

constexpr std::int32_t noWeekday = 256;

}  // namespace

Reg::Reg(HKEY root, const std::wstring& subkey, REGSAM access) : key(nullptr)
{
    LONG status = access == KEY_READ
        ? RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ, &key)
        : RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        boost::throw_exception(std::runtime_error("Can't open registry key"));
}

Reg::~Reg()
{
    RegCloseKey(key);
}

std::int32_t Reg::read(const wchar_t* name, std::int32_t def) const
{
    std::uint8_t buffer[4] = {};
    DWORD size = sizeof buffer;
    if (RegQueryValueExW(key, name, nullptr, nullptr, buffer, &size) != ERROR_SUCCESS)
        return def;
    // Shorter data fills the low bytes; the rest stay zero.
    return static_cast<std::int32_t>(buffer[0] | buffer[1] << 8 | buffer[2] << 16 | std::uint32_t(buffer[3]) << 24);
}

bool Reg::read(const wchar_t* name, bool def) const
{
    return read(name, std::int32_t(def ? 1 : 0)) != 0;
}

boost::date_time::weekdays Reg::read(const wchar_t* name, boost::date_time::weekdays def) const
{
    std::int32_t stored = read(name, noWeekday);
    return stored >= 0 && stored <= 6 ? weekdayFromRegistry(stored) : def;
}

namespace {

// Enough for every value the configuration holds, so that a read is one
// registry query; longer data takes a second query sized by the first.
constexpr DWORD inlineStringBytes = 512;

// The text from the data's start up to the first NUL, or all of the data
// when it holds none.
std::wstring textOf(const BYTE* data, DWORD size)
{
    std::wstring text(size / sizeof(wchar_t), L'\0');
    std::copy(data, data + text.size() * sizeof(wchar_t), reinterpret_cast<BYTE*>(&text[0]));
    return text.substr(0, text.find(L'\0'));
}

}  // namespace

bool Reg::tryRead(const wchar_t* name, std::wstring& text) const
{
    BYTE inlineBuffer[inlineStringBytes];
    DWORD size = sizeof inlineBuffer;
    const LONG status = RegQueryValueExW(key, name, nullptr, nullptr, inlineBuffer, &size);
    if (status == ERROR_SUCCESS) {
        text = textOf(inlineBuffer, size);
        return true;
    }
    if (status != ERROR_MORE_DATA)
        return false;
    std::vector<BYTE> buffer(size);
    if (RegQueryValueExW(key, name, nullptr, nullptr, buffer.data(), &size) != ERROR_SUCCESS)
        return false;
    text = textOf(buffer.data(), size);
    return true;
}

std::wstring Reg::read(const wchar_t* name, const std::wstring& def) const
{
    std::wstring text;
    return tryRead(name, text) ? text : def;
}

boost::posix_time::ptime Reg::read(const wchar_t* name, const boost::posix_time::ptime& def) const
{
    std::wstring stored;
    if (!tryRead(name, stored))
        return def;
    try {
        std::string text = boost::locale::conv::utf_to_utf<char>(stored);
        // A text without a time part is no date-and-time, although the
        // parser would accept it as midnight.
        if (text.find('T') == std::string::npos)
            return def;
        return boost::date_time::parse_delimited_time<boost::posix_time::ptime>(text, 'T');
    } catch (const std::exception&) {
        return def;
    }
}

void Reg::set(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    if (RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) != ERROR_SUCCESS)
        boost::throw_exception(RegWriteError());
}

void Reg::write(const wchar_t* name, std::int32_t value)
{
    set(name, REG_DWORD, &value, sizeof value);
}

void Reg::write(const wchar_t* name, bool value)
{
    write(name, std::int32_t(value ? 1 : 0));
}

void Reg::write(const wchar_t* name, boost::date_time::weekdays value)
{
    write(name, weekdayToRegistry(value));
}

void Reg::write(const wchar_t* name, const std::wstring& value)
{
    set(name, REG_SZ, value.c_str(), DWORD((value.size() + 1) * sizeof(wchar_t)));
}

void Reg::write(const wchar_t* name, const std::vector<std::uint8_t>& value)
{
    set(name, REG_BINARY, value.data(), DWORD(value.size()));
}

void Reg::write(const wchar_t* name, const boost::posix_time::ptime& value)
{
    write(name, boost::locale::conv::utf_to_utf<wchar_t>(boost::posix_time::to_iso_extended_string(value)));
}
