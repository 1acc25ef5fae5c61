#pragma once
// The grammar of one line of INI text, shared by the model's parser
// (CfgFileSnapshot) and the in-place edit of a rendered text
// (CfgRenderedText), so that both read a text alike. Internal to the INI
// library.

#include <cstddef>
#include <locale>
#include <string>

namespace cfg_grammar {

bool isBlankOrTab(char c);

// --- the grammar of a line ---------------------------------------------------
// One line of INI text (without its break), as the parser reads it and as the
// in-place edit of a rendered text must see it; both ask classifyLine, so a
// rule changes here and nowhere else:
//   header    "[" name "]" rest    the name ends at the first "]"; the parser
//                                  drops the rest
//   verbatim  empty, only blanks and tabs, or a comment ("#", "/" or ";"
//             first): kept as it stands
//   keyValue  key "=" value        split at the first "="; blanks and tabs at
//                                  the end of the key and of the value are
//                                  trimmed
//   invalid   a header without "]", or another line without "="
// `exact`: rendering the parsed line gives it back byte for byte (nothing
// dropped or trimmed).

enum class LineKind { header, verbatim, keyValue, invalid };

struct LineParts {
    LineKind kind;
    const char* nameBegin;  // the header's name or the key
    const char* nameEnd;
    const char* valueBegin;  // the value (key/value lines)
    const char* valueEnd;
    bool exact;
};

bool isCommentStart(char c);
bool isHeaderStart(const char* begin, const char* end);

// The character whose first occurrence splits a line that starts with
// `first`: "]" ends a header's name, "=" a key; a comment has none ('\0').
char markerOf(char first);

// The first marker of the line, or null.
const char* findMarker(const char* begin, const char* end);

// A line of a section's body: never a header, even when it starts with "[".
LineParts classifyBodyLine(const char* begin, const char* end, const char* equals);

// Any line; `marker` is findMarker's answer (a caller that scans the text
// for line breaks finds it in the same pass).
LineParts classifyLine(const char* begin, const char* end, const char* marker);
LineParts classifyLine(const char* begin, const char* end);

// A UTF-8 byte-order mark, which Windows editors put first; it belongs to
// no line.
const std::size_t byteOrderMarkSize = 3;
bool startsWithByteOrderMark(const std::string& text);

// Where the first header line begins: at the start, right after a
// byte-order mark, or after a line break; the text's size when there is
// none. What stands before it is kept as it is.
std::size_t firstHeaderOffset(const std::string& text);

// Case-insensitive equality as boost::algorithm::iequals has it (same length,
// upper-case forms equal under the global locale), with the locale's ctype
// facet looked up once per search instead of once per character.
class NameMatcher {
public:
    NameMatcher() : facet(std::use_facet<std::ctype<char>>(locale)) {}
    bool operator()(const std::string& a, const std::string& b) const { return (*this)(a.data(), a.size(), b); }
    bool operator()(const char* a, std::size_t size, const std::string& b) const
    {
        if (size != b.size())
            return false;
        for (std::size_t i = 0; i < size; ++i)
            if (a[i] != b[i] && facet.toupper(a[i]) != facet.toupper(b[i]))
                return false;
        return true;
    }

private:
    const std::locale locale;
    const std::ctype<char>& facet;
};

}  // namespace cfg_grammar
