#include "utillib_configfile/CfgFileSnapshot.h"
#include "utillib_configfile/CfgGrammar.h"

#include <boost/throw_exception.hpp>

#include <algorithm>
#include <cstring>
#include <locale>
#include <utility>

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

using namespace cfg_grammar;

namespace {

const char* const headerInvalid = "Section header invalid";
const char* const keyValueInvalid = "Key-value pair format violated";

// A line break inside a stored string would be rendered as a line of its own.
void requireSingleLine(const std::string& text, const char* what)
{
    if (text.find_first_of("\r\n") != std::string::npos)
        BOOST_THROW_EXCEPTION(Configuration::Exception(std::string(what) + " contains a line break: \"" + text + "\""));
}

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

// Whether a header line put right after `leading` starts a line there.
bool headerMayFollow(const std::string& leading)
{
    return leading.empty() || leading.back() == '\r' || leading.back() == '\n' ||
           (leading.size() == byteOrderMarkSize && startsWithByteOrderMark(leading));
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

// Erases the item at the index `find` gives, when it gives one; whether it
// did.
template <class Items, class Find>
bool eraseFound(Items& items, Find find)
{
    std::size_t index;
    if (!find(index))
        return false;
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
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
    return eraseFound(body, [&](std::size_t& index) { return findKey(key, index); });
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
    return eraseFound(sectionList, [&](std::size_t& index) { return findSection(name, index); });
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
