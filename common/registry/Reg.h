#pragma once
// Reg: one open registry key for the length of a scope, with typed reads
// that never fail (they fall back to the caller's default) and typed writes
// that throw when the registry refuses them.

#include <windows.h>

#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/exception/exception.hpp>

// Thrown by every failed write. Deliberately not a std::runtime_error: the
// settings loader treats runtime_error as "this key does not exist".
class RegWriteError : public virtual std::exception, public virtual boost::exception {
public:
    const char* what() const noexcept override { return "Can't set the key"; }
};

class Reg {
public:
    // KEY_READ, alone or with a view flag (KEY_WOW64_32KEY, KEY_WOW64_64KEY),
    // opens an existing key; any other rights create the key when it is
    // missing. The view flag goes to the registry call unchanged. Throws
    // std::runtime_error("Can't open registry key") when the registry
    // refuses; nothing is left open then.
    Reg(HKEY root, const std::wstring& subkey, REGSAM access);
    // The same below an open key: one registry call instead of a walk of the
    // whole path; an empty subkey opens the parent itself once more.
    Reg(const Reg& parent, const std::wstring& subkey, REGSAM access);
    virtual ~Reg();
    Reg(const Reg&) = delete;
    Reg& operator=(const Reg&) = delete;

    // Reads return the stored value, or the default when the value is
    // missing, of the wrong size or unreadable. They never throw. The
    // registry type is not looked at: numbers are taken from data of up to
    // 4 bytes, text from any data (RegData.h says how).
    std::int32_t read(const wchar_t* name, std::int32_t def) const;
    bool read(const wchar_t* name, bool def) const;
    // Stored 0 = Monday ... 6 = Sunday; other numbers give the default.
    boost::date_time::weekdays read(const wchar_t* name, boost::date_time::weekdays def) const;
    std::wstring read(const wchar_t* name, const std::wstring& def) const;
    std::wstring read(const wchar_t* name, const wchar_t* def) const { return read(name, std::wstring(def)); }
    // ISO extended text such as 2014-05-01T06:30:00 naming a moment from
    // 1400-01-01 to 9999-12-31; anything else gives the default.
    boost::posix_time::ptime read(const wchar_t* name, const boost::posix_time::ptime& def) const;

    // When the key or one of its values was last written, in 100 ns units
    // since 1601 (a FILETIME); 0 when the registry does not say.
    std::uint64_t lastWriteTime() const;

    // The last write time of every subkey by name, from one registry call
    // per subkey and no open. A walk by index: a subkey created or deleted
    // meanwhile may make it pass over another, and it ends early when the
    // registry fails, so a name it lacks is unknown, not missing.
    std::map<std::wstring, std::uint64_t> subkeysWritten() const;

    // Writes create or replace the value; they throw RegWriteError on failure.
    void write(const wchar_t* name, std::int32_t value);
    void write(const wchar_t* name, bool value);
    void write(const wchar_t* name, boost::date_time::weekdays value);
    void write(const wchar_t* name, const std::wstring& value);
    void write(const wchar_t* name, const wchar_t* value) { write(name, std::wstring(value)); }
    void write(const wchar_t* name, const std::vector<std::uint8_t>& value);
    void write(const wchar_t* name, const boost::posix_time::ptime& value);

private:
    // The value's text (up to its first NUL); false, with text unchanged,
    // when the value is missing or unreadable.
    bool tryRead(const wchar_t* name, std::wstring& text) const;
    void set(const wchar_t* name, DWORD type, const void* data, DWORD size);

    HKEY key;
};
