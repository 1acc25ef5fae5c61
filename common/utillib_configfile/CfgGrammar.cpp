#include "utillib_configfile/CfgGrammar.h"

#include <algorithm>
#include <cstring>

namespace cfg_grammar {

bool isBlankOrTab(char c)
{
    return c == ' ' || c == '\t';
}

bool isCommentStart(char c)
{
    return c == '#' || c == '/' || c == ';';
}

bool isHeaderStart(const char* begin, const char* end)
{
    return begin != end && *begin == '[';
}

// The character whose first occurrence splits a line that starts with
// `first`: "]" ends a header's name, "=" a key; a comment has none ('\0').
char markerOf(char first)
{
    return first == '[' ? ']' : isCommentStart(first) ? '\0' : '=';
}

// The first marker of the line, or null.
const char* findMarker(const char* begin, const char* end)
{
    if (begin == end || !markerOf(*begin))
        return nullptr;
    return static_cast<const char*>(std::memchr(begin, markerOf(*begin), static_cast<std::size_t>(end - begin)));
}

// A line of a section's body: never a header, even when it starts with "[".
LineParts classifyBodyLine(const char* begin, const char* end, const char* equals)
{
    LineParts parts{LineKind::verbatim, begin, end, end, end, true};
    if (begin == end || isCommentStart(*begin) || std::all_of(begin, end, isBlankOrTab))
        return parts;
    if (!equals) {
        parts.kind = LineKind::invalid;
        return parts;
    }
    const auto trimmedEnd = [](const char* from, const char* to) {
        while (to != from && isBlankOrTab(*(to - 1)))
            --to;
        return to;
    };
    parts.kind = LineKind::keyValue;
    parts.nameEnd = trimmedEnd(begin, equals);
    parts.valueBegin = equals + 1;
    parts.valueEnd = trimmedEnd(equals + 1, end);
    parts.exact = parts.nameEnd == equals && parts.valueEnd == end;
    return parts;
}

// Any line; `marker` is findMarker's answer (a caller that scans the text
// for line breaks finds it in the same pass).
LineParts classifyLine(const char* begin, const char* end, const char* marker)
{
    if (!isHeaderStart(begin, end))
        return classifyBodyLine(begin, end, marker);
    LineParts parts{LineKind::invalid, begin, end, end, end, false};
    if (marker) {
        parts.kind = LineKind::header;
        parts.nameBegin = begin + 1;
        parts.nameEnd = marker;
        parts.exact = marker + 1 == end;
    }
    return parts;
}

LineParts classifyLine(const char* begin, const char* end)
{
    return classifyLine(begin, end, findMarker(begin, end));
}

namespace {

// Windows editors start a UTF-8 file with it; it belongs to no line.
const char byteOrderMark[] = "\xEF\xBB\xBF";

}  // namespace

bool startsWithByteOrderMark(const std::string& text)
{
    return text.compare(0, byteOrderMarkSize, byteOrderMark) == 0;
}

// Where the first header line begins: at the start, right after a
// byte-order mark, or after a line break; the text's size when there is
// none. What stands before it is kept as it is.
std::size_t firstHeaderOffset(const std::string& text)
{
    const std::size_t start = startsWithByteOrderMark(text) ? byteOrderMarkSize : 0;
    if (start < text.size() && text[start] == '[')
        return start;
    for (std::size_t bracket = text.find('[', start); bracket != std::string::npos;
         bracket = text.find('[', bracket + 1)) {
        // After a lone CR or an LF (a CR LF ends in the LF) a line begins.
        if (text[bracket - 1] == '\r' || text[bracket - 1] == '\n')
            return bracket;
    }
    return text.size();
}

}  // namespace cfg_grammar
