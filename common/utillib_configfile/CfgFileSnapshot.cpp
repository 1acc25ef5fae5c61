#include "utillib_configfile/CfgFileSnapshot.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/iostreams/filter/newline.hpp>
#include <boost/iostreams/device/back_inserter.hpp>
#include <boost/iostreams/filtering_stream.hpp>
#include <boost/throw_exception.hpp>

#include <algorithm>
#include <utility>

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

void trimTrailingBlanks(std::string& text) {
    auto end = text.end();
    while (end != text.begin() && isBlankOrTab(*(end - 1)))
        --end;
    text.erase(end, text.end());
}

// A line break inside a stored string would be rendered as a line of its own.
void requireSingleLine(const std::string& text, const char* what) {
    if (text.find_first_of("\r\n") != std::string::npos)
        BOOST_THROW_EXCEPTION(
            Configuration::Exception(std::string(what) + " contains a line break: \"" + text + "\""));
}

bool namesMatch(const std::string& a, const std::string& b) { return boost::algorithm::iequals(a, b); }

std::vector<std::string> readLines(std::istream& in) {
    boost::iostreams::filtering_istream text;
    text.push(boost::iostreams::newline_filter(boost::iostreams::newline::posix));
    text.push(in);
    // Errors of the caller's stream buffer reach the caller as they were
    // thrown instead of looking like the end of the text. (Set once the
    // chain is complete: before that the stream is bad for want of a buffer.)
    text.exceptions(std::ios::badbit);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(text, line))
        lines.push_back(line);
    return lines;
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
    C_CfgFileEntry entry;
    const bool blank = std::all_of(line.begin(), line.end(), isBlankOrTab);
    if (blank || line[0] == '#' || line[0] == '/' || line[0] == ';') {
        entry.key = line;
        m_entries.push_back(std::move(entry));
        return;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos)
        BOOST_THROW_EXCEPTION(Configuration::SyntaxError(keyValueInvalid, line));
    entry.key = line.substr(0, equals);
    entry.value = line.substr(equals + 1);
    trimTrailingBlanks(entry.key);
    trimTrailingBlanks(entry.value);
    entry.isKeyValue = true;
    m_entries.push_back(std::move(entry));
}

void C_CfgFileSection::appendEntry(const C_CfgFileEntry& entry) {
    requireSingleLine(entry.key, "INI key");
    requireSingleLine(entry.value, "INI value");
    m_entries.push_back(entry);
}

bool C_CfgFileSection::findKey(const std::string& key, std::size_t& index) const {
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
    const std::vector<std::string> lines = readLines(in);
    in.clear();

    const auto nextHeader = [&lines](std::size_t from) {
        return static_cast<std::size_t>(
            std::find_if(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end(), isHeaderLine) -
            lines.begin());
    };

    // Each header is checked as soon as the scan reaches it, before the body
    // of the section above it: a broken header is the error reported first.
    std::vector<C_CfgFileSection> sections;
    std::size_t header = nextHeader(0);
    std::string name;
    if (header < lines.size())
        ParseSectionHeader(lines[header], name);
    while (header < lines.size()) {
        const std::size_t next = nextHeader(header + 1);
        std::string nextName;
        if (next < lines.size())
            ParseSectionHeader(lines[next], nextName);
        C_CfgFileSection section(name);
        for (std::size_t i = header + 1; i < next; ++i)
            section.ParseAndInsertKeyValue(lines[i]);
        sections.push_back(std::move(section));
        header = next;
        name = std::move(nextName);
    }
    m_sections = std::move(sections);
}

void C_CfgFileSnapshot::writeTo(std::ostream& out) const {
    // The text is rendered whole and handed over in one write, so that the
    // stream's own state and exception mask judge the write: a filtering
    // stream on top of it would drop the bytes the stream refuses.
    std::string rendered;
    {
        boost::iostreams::filtering_ostream text;
        text.push(boost::iostreams::newline_filter(boost::iostreams::newline::dos));
        text.push(boost::iostreams::back_inserter(rendered));
        for (const C_CfgFileSection& section : m_sections) {
            text << '[' << section.name() << "]\n";
            for (const C_CfgFileEntry& entry : section.entries()) {
                if (entry.isKeyValue)
                    text << entry.key << '=' << entry.value << '\n';
                else
                    text << entry.key << '\n';
            }
        }
    }  // closing the chain flushes the filter into `rendered`
    out.write(rendered.data(), static_cast<std::streamsize>(rendered.size()));
    out.flush();
    if (!out)
        BOOST_THROW_EXCEPTION(std::ios_base::failure("INI text not written"));
}

bool C_CfgFileSnapshot::findSection(const std::string& name, std::size_t& index) const {
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
