#pragma once
// Reg: one open registry key, owned (moved, never copied) and closed when
// it goes, with typed reads that never fail (they fall back to the caller's
// default) and typed writes that throw when the registry refuses them.
// Whether a missing key is created is said by the name of the call that
// opens it, never by the rights asked for.

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "registry/RegKey.h"

// Thrown when a key cannot be opened or created, with the Win32 error code
// the registry returned as code() (system category); a missing key gives
// ERROR_FILE_NOT_FOUND. A std::runtime_error: the settings loader takes
// one from an open as "this key does not exist".
class RegOpenError : public std::system_error {
public:
    explicit RegOpenError(long win32Error) : std::system_error(int(win32Error), std::system_category()) {}
    const char* what() const noexcept override { return "Can't open registry key"; }
};

// Thrown by every failed write, with the Win32 error code as code().
// Deliberately no std::runtime_error, unlike RegOpenError: a write that
// fails must never pass for a missing key.
class RegWriteError : public std::exception {
public:
    explicit RegWriteError(long win32Error) : error(int(win32Error), std::system_category()) {}
    const char* what() const noexcept override { return "Can't set the key"; }
    const std::error_code& code() const noexcept { return error; }

private:
    std::error_code error;
};

class Reg {
public:
    // Opens an existing key with these rights; a view flag among them
    // (KEY_WOW64_32KEY, KEY_WOW64_64KEY) goes to the registry call
    // unchanged. Throws RegOpenError when the key is missing or the registry
    // refuses; nothing is left open then.
    static Reg open(HKEY root, const std::wstring& subkey, REGSAM access);
    // The same below an open key: one registry call instead of a walk of the
    // whole path; an empty subkey opens the parent itself once more.
    static Reg open(const Reg& parent, const std::wstring& subkey, REGSAM access);
    // Opens the key, creating it (and the keys above it) when it is missing,
    // whatever the rights asked for. Throws RegOpenError when the registry
    // refuses.
    static Reg create(HKEY root, const std::wstring& subkey, REGSAM access);

    Reg(Reg&&) noexcept = default;
    Reg& operator=(Reg&&) noexcept = default;

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

    explicit Reg(HKEY opened) noexcept : key(opened) {}

    RegKey key;
};
