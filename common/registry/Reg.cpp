#include "registry/Reg.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/locale/encoding_utf.hpp>
#include <boost/throw_exception.hpp>

#include "registry/RegData.h"

Reg Reg::open(HKEY root, const std::wstring& subkey, REGSAM access)
{
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExW(root, subkey.c_str(), 0, access, &opened);
    if (status != ERROR_SUCCESS)
        boost::throw_exception(RegOpenError(status));
    return Reg(opened);
}

Reg Reg::open(const Reg& parent, const std::wstring& subkey, REGSAM access)
{
    return open(parent.key.get(), subkey, access);
}

Reg Reg::create(HKEY root, const std::wstring& subkey, REGSAM access)
{
    HKEY opened = nullptr;
    const LONG status = RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                        &opened, nullptr);
    if (status != ERROR_SUCCESS)
        boost::throw_exception(RegOpenError(status));
    return Reg(opened);
}

std::int32_t Reg::read(const wchar_t* name, std::int32_t def) const
{
    std::uint8_t buffer[4] = {};
    DWORD size = sizeof buffer;
    if (RegQueryValueExW(key.get(), name, nullptr, nullptr, buffer, &size) != ERROR_SUCCESS)
        return def;
    return integerFromData(buffer, size).value_or(def);
}

bool Reg::read(const wchar_t* name, bool def) const
{
    return read(name, std::int32_t(def ? 1 : 0)) != 0;
}

boost::date_time::weekdays Reg::read(const wchar_t* name, boost::date_time::weekdays def) const
{
    return weekdayFromStored(read(name, noStoredWeekday), def);
}

namespace {

// Enough for every value the configuration holds, so that a read is one
// registry query; longer data takes a second query sized by the first.
constexpr DWORD inlineStringBytes = 512;

}  // namespace

bool Reg::tryRead(const wchar_t* name, std::wstring& text) const
{
    BYTE inlineBuffer[inlineStringBytes];
    DWORD size = sizeof inlineBuffer;
    const LONG status = RegQueryValueExW(key.get(), name, nullptr, nullptr, inlineBuffer, &size);
    if (status == ERROR_SUCCESS) {
        text = textFromData<wchar_t>(inlineBuffer, size);
        return true;
    }
    if (status != ERROR_MORE_DATA)
        return false;
    std::vector<BYTE> buffer(size);
    if (RegQueryValueExW(key.get(), name, nullptr, nullptr, buffer.data(), &size) != ERROR_SUCCESS)
        return false;
    text = textFromData<wchar_t>(buffer.data(), size);
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
    return momentFromText(boost::locale::conv::utf_to_utf<char>(stored), def);
}

namespace {

std::uint64_t fromFileTime(const FILETIME& time)
{
    return (std::uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

std::uint64_t Reg::lastWriteTime() const
{
    FILETIME written;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, &written) != ERROR_SUCCESS)
        return 0;
    return fromFileTime(written);
}

std::map<std::wstring, std::uint64_t> Reg::subkeysWritten() const
{
    std::map<std::wstring, std::uint64_t> times;
    wchar_t name[256];  // the longest key name the registry allows, and its NUL
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof name / sizeof name[0];
        FILETIME written;
        if (RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, &written) != ERROR_SUCCESS)
            return times;
        times.emplace(std::wstring(name, length), fromFileTime(written));
    }
}

void Reg::set(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    const LONG status = RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size);
    if (status != ERROR_SUCCESS)
        boost::throw_exception(RegWriteError(status));
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
    write(name, weekdayToStored(value));
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
