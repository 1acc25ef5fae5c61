#include "utillib_configfile/CfgRenderedText.h"

#include <algorithm>

#include "utillib_configfile/CfgGrammar.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

using namespace cfg_grammar;

namespace {

// One line of a text, with the first "=" of a key/value line or the first
// "]" of a header (null when absent or not looked for).
struct ScannedLine {
    const char* begin;
    const char* end;  // at the line break that ends it
    const char* equals;
    const char* close;
    std::size_t size() const { return static_cast<std::size_t>(end - begin); }
};

// The line starting at `begin`, which must be followed by a line break
// before `end`. A text not seen before is scanned whole, so where the
// processor has SSE2 sixteen bytes are tested at a time for the break and
// the marker; the rest of the line goes byte by byte.
ScannedLine scanLine(const char* begin, const char* end)
{
    ScannedLine line{begin, nullptr, nullptr, nullptr};
    const bool header = *begin == '[';
    const char marker = markerOf(*begin) ? markerOf(*begin) : '\r';  // CR: none, as the line ends there
    const char*& found = header ? line.close : line.equals;
    const char* p = begin;
#ifdef __SSE2__
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), markers = _mm_set1_epi8(marker);
    for (; end - p >= 16; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned breaks = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf))));
        // Markers before the first break only (all of them when there is none).
        const unsigned marks = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, markers))) &
                               ((breaks & (0u - breaks)) - 1u);
        if (marks && !found)
            found = p + __builtin_ctz(marks);
        if (breaks) {
            line.end = p + __builtin_ctz(breaks);
            return line;
        }
    }
#endif
    for (;; ++p) {
        if (*p == '\r' || *p == '\n') {
            line.end = p;
            return line;
        }
        if (*p == marker && !found)
            found = p;
    }
}

// The line as the grammar reads it, when parsing and rendering give it back
// unchanged with its CR LF; `invalid` when they would change or refuse it.
LineParts renderedParts(const ScannedLine& line)
{
    if (*line.end != '\r' || line.end[1] != '\n')
        return LineParts{LineKind::invalid, line.begin, line.end, line.end, line.end, false};  // a lone CR or LF
    LineParts parts = classifyLine(line.begin, line.end, *line.begin == '[' ? line.close : line.equals);
    if (!parts.exact)
        parts.kind = LineKind::invalid;
    return parts;
}

}  // namespace

void C_CfgRenderedLookup::learn(const std::string& text)
{
    if (known && text == remembered)
        return;
    remembered = text;
    known = true;
    rendered = false;
    headers.clear();
    // The leading text is the model's as it stands; the rest must be as the
    // model renders it.
    const std::size_t firstHeader = firstHeaderOffset(text);
    if (text.size() - firstHeader < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0)
        return;
    const char* const textBegin = text.data();
    const char* const textEnd = textBegin + text.size();
    // The text ends in CR LF, so every line has its break.
    for (const char* begin = textBegin + firstHeader; begin < textEnd;) {
        const ScannedLine line = scanLine(begin, textEnd);
        const LineKind kind = renderedParts(line).kind;
        if (kind == LineKind::invalid) {
            headers.clear();
            return;
        }
        if (kind == LineKind::header)
            headers.push_back(Header{static_cast<std::size_t>(line.begin - textBegin),
                                     static_cast<std::size_t>(line.close - textBegin)});
        begin = line.end + 2;
    }
    rendered = true;
}

C_CfgRenderedValue C_CfgRenderedLookup::find(const std::string& text, const std::string& section,
                                             const std::string& key)
{
    const std::lock_guard<std::mutex> lock(mutex);
    return findLocked(text, section, key);
}

C_CfgRenderedValue C_CfgRenderedLookup::findLocked(const std::string& text, const std::string& section,
                                                   const std::string& key)
{
    learn(text);
    C_CfgRenderedValue found;
    if (!rendered)
        return found;
    found.rendered = true;
    const NameMatcher namesMatch;
    const auto header = std::find_if(headers.begin(), headers.end(), [&](const Header& h) {
        return namesMatch(text.data() + h.open + 1, h.close - h.open - 1, section);
    });
    if (header == headers.end())
        return found;
    found.sectionFound = true;
    found.sectionEnd = header + 1 != headers.end() ? (header + 1)->open : text.size();
    const char* const sectionEnd = text.data() + found.sectionEnd;
    for (const char* begin = text.data() + header->close + 3; begin < sectionEnd;) {
        const ScannedLine line = scanLine(begin, sectionEnd);
        const LineParts parts = renderedParts(line);
        if (parts.kind == LineKind::keyValue &&
            namesMatch(parts.nameBegin, static_cast<std::size_t>(parts.nameEnd - parts.nameBegin), key)) {
            found.keyFound = true;
            found.valueBegin = static_cast<std::size_t>(parts.valueBegin - text.data());
            found.valueEnd = static_cast<std::size_t>(parts.valueEnd - text.data());
            break;
        }
        begin = line.end + 2;
    }
    return found;
}

bool C_CfgRenderedLookup::set(std::string& text, const std::string& section, const std::string& key,
                              const std::string& value)
{
    if (key.find_first_of("\r\n") != std::string::npos || value.find_first_of("\r\n") != std::string::npos)
        return false;
    const std::lock_guard<std::mutex> lock(mutex);
    const C_CfgRenderedValue found = findLocked(text, section, key);
    if (!found.rendered || !found.sectionFound)
        return false;
    const std::size_t before = text.size();
    std::size_t line;
    if (found.keyFound) {
        line = text.rfind('\n', found.valueBegin) + 1;
        text.replace(found.valueBegin, found.valueEnd - found.valueBegin, value);
    } else {
        line = found.sectionEnd;
        text.insert(found.sectionEnd, key + "=" + value + "\r\n");
    }
    follow(text, line, static_cast<std::ptrdiff_t>(text.size()) - static_cast<std::ptrdiff_t>(before));
    return true;
}

void C_CfgRenderedLookup::follow(const std::string& text, std::size_t at, std::ptrdiff_t change)
{
    remembered = text;
    const ScannedLine line = scanLine(text.data() + at, text.data() + text.size());
    if (renderedParts(line).kind != LineKind::keyValue) {
        known = false;
        return;
    }
    for (Header& header : headers) {
        if (header.open >= at) {
            header.open = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(header.open) + change);
            header.close = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(header.close) + change);
        }
    }
}

C_CfgRenderedValue findRenderedValue(const std::string& text, const std::string& section, const std::string& key)
{
    return C_CfgRenderedLookup().find(text, section, key);
}

bool setRenderedValue(std::string& text, const std::string& section, const std::string& key, const std::string& value)
{
    return C_CfgRenderedLookup().set(text, section, key, value);
}
