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

Exception::Exception(std::string message) : m_message(std::move(message)) {}

const char* Exception::what() const noexcept { return m_message.c_str(); }

SyntaxError::SyntaxError(const std::string& description, const std::string& line)
    : Exception("Syntax error. " + description + ": \"" + line + "\"") {}

KeyNotFoundError::KeyNotFoundError(const std::string& key) : Exception("Key not found: " + key) {}

SectionNotFoundError::SectionNotFoundError(const std::string& name)
    : Exception("Section not found: " + name) {}

}  // namespace Configuration

namespace {

const char* const headerInvalid = "Section header invalid";
const char* const keyValueInvalid = "Key-value pair format violated";

bool isHeaderLine(const std::string& line) { return !line.empty() && line[0] == '['; }

bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// A line break inside a stored string would be rendered as a line of its own.
void requireSingleLine(const std::string& text, const char* what) {
    if (text.find_first_of("\r\n") != std::string::npos)
        BOOST_THROW_EXCEPTION(
            Configuration::Exception(std::string(what) + " contains a line break: \"" + text + "\""));
}

// Case-insensitive equality as boost::algorithm::iequals has it (same length,
// upper-case forms equal under the global locale), with the locale's ctype
// facet looked up once per search instead of once per character.
class NameMatcher {
public:
    NameMatcher() : m_ctype(std::use_facet<std::ctype<char>>(m_locale)) {}
    bool operator()(const std::string& a, const std::string& b) const { return (*this)(a.data(), a.size(), b); }
    bool operator()(const char* a, std::size_t size, const std::string& b) const {
        if (size != b.size())
            return false;
        for (std::size_t i = 0; i < size; ++i)
            if (a[i] != b[i] && m_ctype.toupper(a[i]) != m_ctype.toupper(b[i]))
                return false;
        return true;
    }

private:
    const std::locale m_locale;
    const std::ctype<char>& m_ctype;
};

// One line of a text, without its line break: [begin, end) in the text.
struct LineSpan {
    std::size_t begin;
    std::size_t end;
    std::size_t size() const { return end - begin; }
};

// The lines of a text whose line breaks are CR LF, a lone CR or a lone LF:
// what std::getline gives on the text after a newline filter with the POSIX
// target. A last line without a break is still a line; a text ending in a
// break yields no empty last line. The breaks are found with memchr, each
// kind once per stretch of text.
std::vector<LineSpan> splitLines(const std::string& text) {
    std::vector<LineSpan> lines;
    lines.reserve(text.size() / 16 + 1);
    std::size_t nextCr = text.find('\r'), nextLf = text.find('\n');
    std::size_t begin = 0;
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

// The text with every line break (CR LF, lone CR, lone LF) written as CR
// LF: what a newline filter with the DOS target writes. Only a caller's
// ParseAndInsertKeyValue can bring a CR or LF into an entry; otherwise the
// breaks are the LFs the rendering put there and the fast path applies.
std::string withCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 2);
    if (text.find('\r') == std::string::npos) {
        std::size_t begin = 0;
        for (std::size_t lf; (lf = text.find('\n', begin)) != std::string::npos; begin = lf + 1)
            out.append(text, begin, lf - begin).append("\r\n");
        out.append(text, begin, std::string::npos);
        return out;
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
    return out;
}

// All bytes of the stream from where it stands, read through its buffer in
// large blocks. Errors of the buffer reach the caller as they were thrown
// instead of looking like the end of the text.
std::string readAll(std::istream& in) {
    std::string text;
    std::streambuf* buffer = in.rdbuf();
    if (!buffer)
        return text;
    char block[16384];
    for (std::streamsize got; (got = buffer->sgetn(block, sizeof block)) > 0;)
        text.append(block, static_cast<std::size_t>(got));
    return text;
}

bool isHeaderLine(const std::string& text, const LineSpan& line) {
    return line.size() > 0 && text[line.begin] == '[';
}

// ParseSectionHeader on a line of a text.
std::string headerName(const std::string& text, const LineSpan& line) {
    const char* const first = text.data() + line.begin;
    const void* close = line.size() > 0 && first[0] == '[' ? std::memchr(first, ']', line.size()) : nullptr;
    if (!close)
        BOOST_THROW_EXCEPTION(Configuration::SyntaxError(headerInvalid, std::string(first, line.size())));
    return std::string(first + 1, static_cast<const char*>(close));
}

}  // namespace

bool operator==(const C_CfgFileEntry& a, const C_CfgFileEntry& b) {
    return a.key == b.key && a.value == b.value && a.isKeyValue == b.isKeyValue;
}

bool operator==(const C_CfgFileSection& a, const C_CfgFileSection& b) {
    return a.name() == b.name() && a.entries() == b.entries();
}

C_CfgFileSection::C_CfgFileSection(std::string name) : m_name(std::move(name)) {}

void C_CfgFileSection::ParseAndInsertKeyValue(const std::string& line) {
    ParseAndInsertKeyValue(line.data(), line.size());
}

void C_CfgFileSection::ParseAndInsertKeyValue(const char* line, std::size_t size) {
    C_CfgFileEntry entry;
    const bool blank = std::all_of(line, line + size, isBlankOrTab);
    if (blank || line[0] == '#' || line[0] == '/' || line[0] == ';') {
        entry.key.assign(line, size);
        m_entries.push_back(std::move(entry));
        return;
    }
    const void* found = std::memchr(line, '=', size);
    if (!found)
        BOOST_THROW_EXCEPTION(Configuration::SyntaxError(keyValueInvalid, std::string(line, size)));
    const char* const equals = static_cast<const char*>(found);
    const auto trimmedEnd = [](const char* begin, const char* end) {
        while (end != begin && isBlankOrTab(*(end - 1)))
            --end;
        return end;
    };
    entry.key.assign(line, trimmedEnd(line, equals));
    entry.value.assign(equals + 1, trimmedEnd(equals + 1, line + size));
    entry.isKeyValue = true;
    m_entries.push_back(std::move(entry));
}

void C_CfgFileSection::appendEntry(const C_CfgFileEntry& entry) {
    requireSingleLine(entry.key, "INI key");
    requireSingleLine(entry.value, "INI value");
    m_entries.push_back(entry);
}

bool C_CfgFileSection::findKey(const std::string& key, std::size_t& index) const {
    const NameMatcher namesMatch;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].isKeyValue && namesMatch(m_entries[i].key, key)) {
            index = i;
            return true;
        }
    }
    return false;
}

std::string C_CfgFileSection::getValue(const std::string& key) const {
    std::string value;
    if (!tryGetValue(key, value))
        BOOST_THROW_EXCEPTION(Configuration::KeyNotFoundError(key));
    return value;
}

std::string C_CfgFileSection::getValueOr(const std::string& key, const std::string& fallback) const {
    std::string value;
    return tryGetValue(key, value) ? value : fallback;
}

bool C_CfgFileSection::tryGetValue(const std::string& key, std::string& value) const {
    std::size_t index;
    return tryGetValue(key, value, index);
}

bool C_CfgFileSection::tryGetValue(const std::string& key, std::string& value, std::size_t& index) const {
    std::size_t found;
    if (!findKey(key, found))
        return false;
    value = m_entries[found].value;
    index = found;
    return true;
}

std::uint32_t C_CfgFileSection::getValueStatus(const std::string& key, const char*& value) const {
    std::size_t index;
    if (!findKey(key, index)) {
        value = nullptr;
        return valueNotFound;
    }
    value = m_entries[index].value.c_str();
    return valueFound;
}

void C_CfgFileSection::setValue(const std::string& key, const std::string& value) {
    requireSingleLine(key, "INI key");
    requireSingleLine(value, "INI value");
    std::size_t index;
    if (findKey(key, index))
        m_entries[index].value = value;
    else
        m_entries.push_back(C_CfgFileEntry{key, value, true});
}

bool C_CfgFileSection::removeKey(const std::string& key) {
    std::size_t index;
    if (!findKey(key, index))
        return false;
    m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

void ParseSectionHeader(const std::string& line, std::string& name) {
    if (!isHeaderLine(line))
        BOOST_THROW_EXCEPTION(Configuration::SyntaxError(headerInvalid, line));
    const auto close = line.find(']');
    if (close == std::string::npos)
        BOOST_THROW_EXCEPTION(Configuration::SyntaxError(headerInvalid, line));
    name = line.substr(1, close - 1);
}

void C_CfgFileSnapshot::readFrom(std::istream& in) {
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

void C_CfgFileSnapshot::parse(const std::string& text) {
    const std::vector<LineSpan> lines = splitLines(text);

    const auto nextHeader = [&](std::size_t from) {
        while (from < lines.size() && !isHeaderLine(text, lines[from]))
            ++from;
        return from;
    };

    // Each header is checked as soon as the scan reaches it, before the body
    // of the section above it: a broken header is the error reported first.
    std::vector<C_CfgFileSection> sections;
    std::size_t header = nextHeader(0);
    std::string name;
    if (header < lines.size())
        name = headerName(text, lines[header]);
    while (header < lines.size()) {
        const std::size_t next = nextHeader(header + 1);
        std::string nextName;
        if (next < lines.size())
            nextName = headerName(text, lines[next]);
        sections.emplace_back(std::move(name));
        C_CfgFileSection& section = sections.back();
        section.m_entries.reserve(next - header - 1);
        for (std::size_t i = header + 1; i < next; ++i)
            section.ParseAndInsertKeyValue(text.data() + lines[i].begin, lines[i].size());
        header = next;
        name = std::move(nextName);
    }
    m_sections = std::move(sections);
}

std::string C_CfgFileSnapshot::render() const {
    std::size_t size = 0;
    for (const C_CfgFileSection& section : m_sections) {
        size += section.name().size() + 3;
        for (const C_CfgFileEntry& entry : section.entries())
            size += entry.key.size() + entry.value.size() + 2;
    }
    std::string text;
    text.reserve(size);
    for (const C_CfgFileSection& section : m_sections) {
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
    return withCrLf(text);
}

void C_CfgFileSnapshot::writeTo(std::ostream& out) const {
    // Handed over in one write, so that the stream's own state and
    // exception mask judge the write.
    const std::string rendered = render();
    out.write(rendered.data(), static_cast<std::streamsize>(rendered.size()));
    out.flush();
    if (!out)
        BOOST_THROW_EXCEPTION(std::ios_base::failure("INI text not written"));
}

bool C_CfgFileSnapshot::findSection(const std::string& name, std::size_t& index) const {
    const NameMatcher namesMatch;
    for (std::size_t i = 0; i < m_sections.size(); ++i) {
        if (namesMatch(m_sections[i].name(), name)) {
            index = i;
            return true;
        }
    }
    return false;
}

C_CfgFileSection* C_CfgFileSnapshot::findSection(const std::string& name) {
    std::size_t index;
    return findSection(name, index) ? &m_sections[index] : nullptr;
}

const C_CfgFileSection* C_CfgFileSnapshot::findSection(const std::string& name) const {
    std::size_t index;
    return findSection(name, index) ? &m_sections[index] : nullptr;
}

C_CfgFileSection& C_CfgFileSnapshot::getSection(const std::string& name, bool createIfMissing) {
    std::size_t index;
    if (!findSection(name, index)) {
        if (!createIfMissing)
            BOOST_THROW_EXCEPTION(Configuration::SectionNotFoundError(name));
        addSection(name, index);
    }
    return m_sections[index];
}

const C_CfgFileSection& C_CfgFileSnapshot::getSection(const std::string& name) const {
    const C_CfgFileSection* section = findSection(name);
    if (!section)
        BOOST_THROW_EXCEPTION(Configuration::SectionNotFoundError(name));
    return *section;
}

void C_CfgFileSnapshot::getOrAddSection(const std::string& name, C_CfgFileSection*& section) {
    section = &getSection(name, true);
}

void C_CfgFileSnapshot::addSection(const std::string& name, std::size_t& index) {
    requireSingleLine(name, "INI section name");
    m_sections.emplace_back(name);
    index = m_sections.size() - 1;
}

bool C_CfgFileSnapshot::removeSection(const std::string& name) {
    std::size_t index;
    if (!findSection(name, index))
        return false;
    m_sections.erase(m_sections.begin() + static_cast<std::ptrdiff_t>(index));
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

bool isCommentStart(char c) { return c == '#' || c == '/' || c == ';'; }

// The line starting at `begin`, which must be followed by a line break
// before `end`. A text not seen before is scanned whole, so where the
// processor has SSE2 sixteen bytes are tested at a time for the break and
// the marker; the rest of the line goes byte by byte.
ScannedLine scanLine(const char* begin, const char* end) {
    ScannedLine line{begin, nullptr, nullptr, nullptr};
    const bool header = *begin == '[';
    const char marker = header ? ']' : isCommentStart(*begin) ? '\r' : '=';  // CR: none
    const char*& found = header ? line.close : line.equals;
    const char* p = begin;
#ifdef __SSE2__
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), markers = _mm_set1_epi8(marker);
    for (; end - p >= 16; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned breaks =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf))));
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

// What a line is to the model, when parsing and rendering give it back
// unchanged; `broken` when they would change it or refuse it.
enum class LineKind { header, verbatim, keyValue, broken };

LineKind kindOf(const ScannedLine& line) {
    if (*line.end != '\r' || line.end[1] != '\n')
        return LineKind::broken;  // a lone CR or LF
    if (line.size() > 0 && *line.begin == '[')
        return line.close == line.end - 1 ? LineKind::header : LineKind::broken;
    if (line.size() == 0 || isCommentStart(*line.begin) ||
        (isBlankOrTab(*line.begin) && std::all_of(line.begin, line.end, isBlankOrTab)))
        return LineKind::verbatim;
    // A key/value line with nothing trimmed before the "=" or at its end; a
    // line without "=" is a syntax error.
    if (!line.equals)
        return LineKind::broken;
    const bool keyTrimmed = line.equals == line.begin || !isBlankOrTab(*(line.equals - 1));
    const bool valueTrimmed = line.equals + 1 == line.end || !isBlankOrTab(*(line.end - 1));
    return keyTrimmed && valueTrimmed ? LineKind::keyValue : LineKind::broken;
}

}  // namespace

void C_CfgRenderedLookup::learn(const std::string& text) {
    if (m_known && text == m_text)
        return;
    m_text = text;
    m_known = true;
    m_rendered = false;
    m_headers.clear();
    if (text.empty() || text[0] != '[' || text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0)
        return;
    const char* const textBegin = text.data();
    const char* const textEnd = textBegin + text.size();
    // The text ends in CR LF, so every line has its break.
    for (const char* begin = textBegin; begin < textEnd;) {
        const ScannedLine line = scanLine(begin, textEnd);
        const LineKind kind = kindOf(line);
        if (kind == LineKind::broken) {
            m_headers.clear();
            return;
        }
        if (kind == LineKind::header)
            m_headers.push_back(Header{static_cast<std::size_t>(line.begin - textBegin),
                                       static_cast<std::size_t>(line.close - textBegin)});
        begin = line.end + 2;
    }
    m_rendered = true;
}

C_CfgRenderedValue C_CfgRenderedLookup::find(const std::string& text, const std::string& section,
                                             const std::string& key) {
    learn(text);
    C_CfgRenderedValue found;
    if (!m_rendered)
        return found;
    found.rendered = true;
    const NameMatcher namesMatch;
    const auto header = std::find_if(m_headers.begin(), m_headers.end(), [&](const Header& h) {
        return namesMatch(text.data() + h.open + 1, h.close - h.open - 1, section);
    });
    if (header == m_headers.end())
        return found;
    found.sectionFound = true;
    found.sectionEnd = header + 1 != m_headers.end() ? (header + 1)->open : text.size();
    const char* const sectionEnd = text.data() + found.sectionEnd;
    for (const char* begin = text.data() + header->close + 3; begin < sectionEnd;) {
        const ScannedLine line = scanLine(begin, sectionEnd);
        if (kindOf(line) == LineKind::keyValue &&
            namesMatch(line.begin, static_cast<std::size_t>(line.equals - line.begin), key)) {
            found.keyFound = true;
            found.valueBegin = static_cast<std::size_t>(line.equals + 1 - text.data());
            found.valueEnd = static_cast<std::size_t>(line.end - text.data());
            break;
        }
        begin = line.end + 2;
    }
    return found;
}

bool C_CfgRenderedLookup::set(std::string& text, const std::string& section, const std::string& key,
                              const std::string& value) {
    if (key.find_first_of("\r\n") != std::string::npos || value.find_first_of("\r\n") != std::string::npos)
        return false;
    const C_CfgRenderedValue found = find(text, section, key);
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

void C_CfgRenderedLookup::follow(const std::string& text, std::size_t at, std::ptrdiff_t change) {
    m_text = text;
    const ScannedLine line = scanLine(text.data() + at, text.data() + text.size());
    if (kindOf(line) != LineKind::keyValue) {
        m_known = false;
        return;
    }
    for (Header& header : m_headers) {
        if (header.open >= at) {
            header.open = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(header.open) + change);
            header.close = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(header.close) + change);
        }
    }
}

C_CfgRenderedValue findRenderedValue(const std::string& text, const std::string& section, const std::string& key) {
    return C_CfgRenderedLookup().find(text, section, key);
}

std::string withBlankLinesTo(const std::string& text, std::size_t length) {
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

bool setRenderedValue(std::string& text, const std::string& section, const std::string& key,
                      const std::string& value) {
    return C_CfgRenderedLookup().set(text, section, key, value);
}
