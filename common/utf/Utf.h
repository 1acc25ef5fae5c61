#pragma once
// The one conversion between UTF-8 (std::string) and UTF-16 (std::wstring on
// Windows, std::u16string in portable code). Portable, header only.
// Invalid sequences (lone surrogates, stray bytes) are skipped, never thrown:
// text that comes from the registry or the command line is never refused for
// its encoding.

#include <string>

#include <boost/locale/encoding_utf.hpp>

namespace utf {

template <class CharT>
std::string narrow(const std::basic_string<CharT>& utf16)
{
    return boost::locale::conv::utf_to_utf<char>(utf16);
}

inline std::wstring widen(const std::string& utf8)
{
    return boost::locale::conv::utf_to_utf<wchar_t>(utf8);
}

}  // namespace utf
