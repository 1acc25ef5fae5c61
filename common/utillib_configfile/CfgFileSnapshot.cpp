#include "utillib_configfile/CfgFileSnapshot.h"

#include <boost/throw_exception.hpp>

#include <algorithm>
#include <cstring>
#include <locale>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace Configuration {

Exception::Exception(std::string message) : message(std::move(message)) {}

const char* Exception::what() const noexcept
{
    return message.c_str();
}

SyntaxError::SyntaxError(const std::string& description, const std::string& line)
    : Exception("Syntax error. " + description + ": \"" + line + "\"")
{
}

KeyNotFoundError::KeyNotFoundError(const std::string& key) : Exception("Key not found: " + key) {}

SectionNotFoundError::SectionNotFoundError(const std::string& name) : Exception("Section not found: " + name) {}

}  // namespace Configuration

namespace {

const char* const headerInvalid = "Section header invalid";
const char* const keyValueInvalid = "Key-value pair format violated";

bool isBlankOrTab(char c)
{
    return c == ' ' || c == '\t';
}

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

// A line break inside a stored string would be rendered as a line of its own.
void requireSingleLine(const std::string& text, const char* what)
{
    if (text.find_first_of("\r\n") != std::string::npos)
        BOOST_THROW_EXCEPTION(Configuration::Exception(std::string(what) + " contains a line break: \"" + text + "\""));
}

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

// One line of a text, without its line break: [begin, end) in the text.
struct LineSpan {
    std::size_t begin;
    std::size_t end;
    std::size_t size() const { return end - begin; }
};

// The lines of a text from `begin` on, whose line breaks are CR LF, a lone
// CR or a lone LF: what std::getline gives on the text after a newline
// filter with the POSIX target. A last line without a break is still a
// line; a text ending in a break yields no empty last line. The breaks are
// found with memchr, each kind once per stretch of text.
std::vector<LineSpan> splitLines(const std::string& text, std::size_t begin)
{
    std::vector<LineSpan> lines;
    lines.reserve((text.size() - begin) / 16 + 1);
    std::size_t nextCr = text.find('\r', begin), nextLf = text.find('\n', begin);
    while (begin < text.size()) {
        if (nextCr < begin)
            nextCr = text.find('\r', begin);
        if (nextLf < begin)
            nextLf = text.find('\n', begin);
        const std::size_t end = std::min(std::min(nextCr, nextLf), text.size());
        lines.push_back(LineSpan{begin, end});
        begin = end + 1;
        if (end == nextCr && nextLf == end + 1)
            ++begin;
    }
    return lines;
}

// Appends the text to `out` with every line break (CR LF, lone CR, lone LF)
// written as CR LF: what a newline filter with the DOS target writes. Only a
// caller's ParseAndInsertKeyValue can bring a CR or LF into an entry;
// otherwise the breaks are the LFs the rendering put there and the fast
// path applies.
void appendWithCrLf(std::string& out, const std::string& text)
{
    out.reserve(out.size() + text.size() + text.size() / 8 + 2);
    if (text.find('\r') == std::string::npos) {
        std::size_t begin = 0;
        for (std::size_t lf; (lf = text.find('\n', begin)) != std::string::npos; begin = lf + 1)
            out.append(text, begin, lf - begin).append("\r\n");
        out.append(text, begin, std::string::npos);
        return;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (text[i] == '\n') {
            out += "\r\n";
        } else {
            out += text[i];
        }
    }
}

// All bytes of the stream from where it stands, read through its buffer in
// large blocks. Errors of the buffer reach the caller as they were thrown
// instead of looking like the end of the text.
std::string readAll(std::istream& in)
{
    std::string text;
    std::streambuf* buffer = in.rdbuf();
    if (!buffer)
        return text;
    char block[16384];
    for (std::streamsize got; (got = buffer->sgetn(block, sizeof block)) > 0;)
        text.append(block, static_cast<std::size_t>(got));
    return text;
}

bool isHeaderLine(const std::string& text, const LineSpan& line)
{
    return isHeaderStart(text.data() + line.begin, text.data() + line.end);
}

// Windows editors start a UTF-8 file with it; it belongs to no line.
const char byteOrderMark[] = "\xEF\xBB\xBF";
const std::size_t byteOrderMarkSize = sizeof byteOrderMark - 1;

bool startsWithByteOrderMark(const std::string& text)
{
    return text.compare(0, byteOrderMarkSize, byteOrderMark) == 0;
}

// Whether a header line put right after `leading` starts a line there.
bool headerMayFollow(const std::string& leading)
{
    return leading.empty() || leading.back() == '\r' || leading.back() == '\n' ||
           (leading.size() == byteOrderMarkSize && startsWithByteOrderMark(leading));
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

// The name of a header line; throws SyntaxError for any other line.
std::string headerName(const char* begin, const char* end)
{
    const LineParts parts = classifyLine(begin, end);
    if (parts.kind != LineKind::header)
        BOOST_THROW_EXCEPTION(Configuration::SyntaxError(headerInvalid, std::string(begin, end)));
    return std::string(parts.nameBegin, parts.nameEnd);
}

std::string headerName(const std::string& text, const LineSpan& line)
{
    return headerName(text.data() + line.begin, text.data() + line.end);
}

}  // namespace

bool operator==(const C_CfgFileEntry& a, const C_CfgFileEntry& b)
{
    return a.key == b.key && a.value == b.value && a.isKeyValue == b.isKeyValue;
}

bool operator==(const C_CfgFileSection& a, const C_CfgFileSection& b)
{
    return a.name() == b.name() && a.entries() == b.entries();
}

C_CfgFileSection::C_CfgFileSection(std::string name) : sectionName(std::move(name)) {}

void C_CfgFileSection::ParseAndInsertKeyValue(const std::string& line)
{
    ParseAndInsertKeyValue(line.data(), line.size());
}

void C_CfgFileSection::ParseAndInsertKeyValue(const char* line, std::size_t size)
{
    const char* const end = line + size;
    const LineParts parts = classifyBodyLine(line, end,
                                             size ? static_cast<const char*>(std::memchr(line, '=', size)) : nullptr);
    if (parts.kind == LineKind::invalid)
        BOOST_THROW_EXCEPTION(Configuration::SyntaxError(keyValueInvalid, std::string(line, size)));
    C_CfgFileEntry entry;
    entry.key.assign(parts.nameBegin, parts.nameEnd);
    entry.value.assign(parts.valueBegin, parts.valueEnd);
    entry.isKeyValue = parts.kind == LineKind::keyValue;
    body.push_back(std::move(entry));
}

void C_CfgFileSection::appendEntry(const C_CfgFileEntry& entry)
{
    requireSingleLine(entry.key, "INI key");
    requireSingleLine(entry.value, "INI value");
    body.push_back(entry);
}

bool C_CfgFileSection::findKey(const std::string& key, std::size_t& index) const
{
    const NameMatcher namesMatch;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i].isKeyValue && namesMatch(body[i].key, key)) {
            index = i;
            return true;
        }
    }
    return false;
}

std::string C_CfgFileSection::getValue(const std::string& key) const
{
    std::string value;
    if (!tryGetValue(key, value))
        BOOST_THROW_EXCEPTION(Configuration::KeyNotFoundError(key));
    return value;
}

std::string C_CfgFileSection::getValueOr(const std::string& key, const std::string& fallback) const
{
    std::string value;
    return tryGetValue(key, value) ? value : fallback;
}

bool C_CfgFileSection::tryGetValue(const std::string& key, std::string& value) const
{
    std::size_t index;
    return tryGetValue(key, value, index);
}

bool C_CfgFileSection::tryGetValue(const std::string& key, std::string& value, std::size_t& index) const
{
    std::size_t found;
    if (!findKey(key, found))
        return false;
    value = body[found].value;
    index = found;
    return true;
}

std::uint32_t C_CfgFileSection::getValueStatus(const std::string& key, const char*& value) const
{
    std::size_t index;
    if (!findKey(key, index)) {
        value = nullptr;
        return valueNotFound;
    }
    value = body[index].value.c_str();
    return valueFound;
}

void C_CfgFileSection::setValue(const std::string& key, const std::string& value)
{
    requireSingleLine(key, "INI key");
    requireSingleLine(value, "INI value");
    std::size_t index;
    if (findKey(key, index))
        body[index].value = value;
    else
        body.push_back(C_CfgFileEntry{key, value, true});
}

bool C_CfgFileSection::removeKey(const std::string& key)
{
    std::size_t index;
    if (!findKey(key, index))
        return false;
    body.erase(body.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

void ParseSectionHeader(const std::string& line, std::string& name)
{
    name = headerName(line.data(), line.data() + line.size());
}

void C_CfgFileSnapshot::readFrom(std::istream& in)
{
    in.clear();
    in.seekg(0);
    // Reading on from wherever the stream stood would yield a partial text
    // that a later commit would write back as the whole file.
    if (in.fail())
        BOOST_THROW_EXCEPTION(std::ios_base::failure("INI text stream cannot be rewound"));
    const std::string text = readAll(in);
    in.clear();
    parse(text);
}

void C_CfgFileSnapshot::parse(const std::string& text)
{
    const std::size_t firstHeader = firstHeaderOffset(text);
    std::string leadingText(text, 0, firstHeader);
    // Every line from the first header on: the first is a header, if any.
    const std::vector<LineSpan> lines = splitLines(text, firstHeader);

    const auto nextHeader = [&](std::size_t from) {
        while (from < lines.size() && !isHeaderLine(text, lines[from]))
            ++from;
        return from;
    };

    // Each header is checked as soon as the scan reaches it, before the body
    // of the section above it: a broken header is the error reported first.
    std::vector<C_CfgFileSection> sections;
    std::size_t header = 0;
    std::string name;
    if (!lines.empty())
        name = headerName(text, lines[header]);
    while (header < lines.size()) {
        const std::size_t next = nextHeader(header + 1);
        std::string nextName;
        if (next < lines.size())
            nextName = headerName(text, lines[next]);
        sections.emplace_back(std::move(name));
        C_CfgFileSection& section = sections.back();
        section.body.reserve(next - header - 1);
        for (std::size_t i = header + 1; i < next; ++i)
            section.ParseAndInsertKeyValue(text.data() + lines[i].begin, lines[i].size());
        header = next;
        name = std::move(nextName);
    }
    sectionList = std::move(sections);
    leading = std::move(leadingText);
}

std::string C_CfgFileSnapshot::render() const
{
    std::size_t size = 0;
    for (const C_CfgFileSection& section : sectionList) {
        size += section.name().size() + 3;
        for (const C_CfgFileEntry& entry : section.entries())
            size += entry.key.size() + entry.value.size() + 2;
    }
    std::string text;
    text.reserve(size);
    for (const C_CfgFileSection& section : sectionList) {
        text += '[';
        text += section.name();
        text += "]\n";
        for (const C_CfgFileEntry& entry : section.entries()) {
            text += entry.key;
            if (entry.isKeyValue) {
                text += '=';
                text += entry.value;
            }
            text += '\n';
        }
    }
    // A leading text without a header after it (a file that had no section
    // until one was added) ends in a line break of its own first.
    std::string rendered = leading;
    if (!sectionList.empty() && !headerMayFollow(leading))
        rendered += "\r\n";
    appendWithCrLf(rendered, text);
    return rendered;
}

void C_CfgFileSnapshot::writeTo(std::ostream& out) const
{
    // Handed over in one write, so that the stream's own state and
    // exception mask judge the write.
    const std::string rendered = render();
    out.write(rendered.data(), static_cast<std::streamsize>(rendered.size()));
    out.flush();
    if (!out)
        BOOST_THROW_EXCEPTION(std::ios_base::failure("INI text not written"));
}

bool C_CfgFileSnapshot::findSection(const std::string& name, std::size_t& index) const
{
    const NameMatcher namesMatch;
    for (std::size_t i = 0; i < sectionList.size(); ++i) {
        if (namesMatch(sectionList[i].name(), name)) {
            index = i;
            return true;
        }
    }
    return false;
}

C_CfgFileSection* C_CfgFileSnapshot::findSection(const std::string& name)
{
    std::size_t index;
    return findSection(name, index) ? &sectionList[index] : nullptr;
}

const C_CfgFileSection* C_CfgFileSnapshot::findSection(const std::string& name) const
{
    std::size_t index;
    return findSection(name, index) ? &sectionList[index] : nullptr;
}

C_CfgFileSection& C_CfgFileSnapshot::getSection(const std::string& name, bool createIfMissing)
{
    std::size_t index;
    if (!findSection(name, index)) {
        if (!createIfMissing)
            BOOST_THROW_EXCEPTION(Configuration::SectionNotFoundError(name));
        addSection(name, index);
    }
    return sectionList[index];
}

const C_CfgFileSection& C_CfgFileSnapshot::getSection(const std::string& name) const
{
    const C_CfgFileSection* section = findSection(name);
    if (!section)
        BOOST_THROW_EXCEPTION(Configuration::SectionNotFoundError(name));
    return *section;
}

void C_CfgFileSnapshot::getOrAddSection(const std::string& name, C_CfgFileSection*& section)
{
    section = &getSection(name, true);
}

void C_CfgFileSnapshot::addSection(const std::string& name, std::size_t& index)
{
    requireSingleLine(name, "INI section name");
    sectionList.emplace_back(name);
    index = sectionList.size() - 1;
}

bool C_CfgFileSnapshot::removeSection(const std::string& name)
{
    std::size_t index;
    if (!findSection(name, index))
        return false;
    sectionList.erase(sectionList.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

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

std::string withBlankLinesTo(const std::string& text, std::size_t length)
{
    if (text.size() >= length)
        return text;
    const std::size_t pad = length - text.size();
    std::string padded;
    padded.reserve(length);
    padded += text;
    for (std::size_t i = 0; i < pad / 2; ++i)
        padded += "\r\n";
    if (pad % 2)
        padded += '\n';
    return padded;
}

bool setRenderedValue(std::string& text, const std::string& section, const std::string& key, const std::string& value)
{
    return C_CfgRenderedLookup().set(text, section, key, value);
}
