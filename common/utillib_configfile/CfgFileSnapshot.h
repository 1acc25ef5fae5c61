#pragma once
// In-memory model of an INI text: sections of key/value, blank and comment
// lines, parsed from a byte stream and rendered back with its layout.
//
// Strings are bytes in the file's own code page; only line breaks are
// converted (any of CR LF, CR, LF on reading; CR LF on writing), except in
// the text before the first header, which is kept byte for byte. Names and
// keys match case-insensitively (ASCII upper case under the default locale);
// duplicates stay in the model and every look-up takes the first match.
// No class here takes a lock: one instance belongs to one thread at a time.

#include <boost/exception/exception.hpp>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace Configuration {

// Base of every error of the INI library; what() is the message.
class Exception : public virtual std::exception, public virtual boost::exception {
public:
    explicit Exception(std::string message);
    const char* what() const noexcept override;

private:
    std::string message;
};

// "Syntax error. <description>: \"<line>\""
class SyntaxError : public Exception {
public:
    SyntaxError(const std::string& description, const std::string& line);
};

// "Key not found: <key>"
class KeyNotFoundError : public Exception {
public:
    explicit KeyNotFoundError(const std::string& key);
};

// "Section not found: <name>"
class SectionNotFoundError : public Exception {
public:
    explicit SectionNotFoundError(const std::string& name);
};

}  // namespace Configuration

// One body line of a section: a key/value line, or a blank or comment line
// kept verbatim in `key`.
struct C_CfgFileEntry {
    std::string key;
    std::string value;
    bool isKeyValue = false;
};

bool operator==(const C_CfgFileEntry& a, const C_CfgFileEntry& b);
inline bool operator!=(const C_CfgFileEntry& a, const C_CfgFileEntry& b)
{
    return !(a == b);
}

// One section: its name as written between "[" and the first "]", and its
// body lines in text order.
class C_CfgFileSection {
public:
    // Status results of getValueStatus.
    static constexpr std::uint32_t valueFound = 0x00010000u;
    static constexpr std::uint32_t valueNotFound = 0xC0020015u;

    explicit C_CfgFileSection(std::string name);

    const std::string& name() const { return sectionName; }
    const std::vector<C_CfgFileEntry>& entries() const { return body; }

    // Classifies one body line and appends it: blank, or starting with "#",
    // "/" or ";", as a verbatim line; otherwise split at the first "=" with
    // trailing blanks and tabs removed from key and value. Throws
    // Configuration::SyntaxError ("Key-value pair format violated") for any
    // other line without "=", leaving the section unchanged.
    void ParseAndInsertKeyValue(const std::string& line);
    // The same for a line given as its first character and its length.
    void ParseAndInsertKeyValue(const char* line, std::size_t size);

    // Appends a ready-made entry. Throws Configuration::Exception, leaving
    // the section unchanged, when its key or value holds a CR or LF: the
    // rendered text would otherwise gain lines (or whole sections) that
    // nobody set.
    void appendEntry(const C_CfgFileEntry& entry);

    // Index of the first key/value entry whose key matches.
    bool findKey(const std::string& key, std::size_t& index) const;

    // Throws Configuration::KeyNotFoundError(key) when no entry matches.
    std::string getValue(const std::string& key) const;
    std::string getValueOr(const std::string& key, const std::string& fallback) const;
    // `value` (and `index`) are assigned only when the key is found.
    bool tryGetValue(const std::string& key, std::string& value) const;
    bool tryGetValue(const std::string& key, std::string& value, std::size_t& index) const;
    // valueFound and the stored characters (valid until that entry changes),
    // or valueNotFound and null.
    std::uint32_t getValueStatus(const std::string& key, const char*& value) const;

    // Replaces the value of the first matching entry (its stored key stays),
    // or appends (key, value) after everything else in the section, blank
    // and comment lines included. Throws Configuration::Exception, leaving
    // the section unchanged, when key or value holds a CR or LF.
    void setValue(const std::string& key, const std::string& value);

    // Erases the first matching key/value entry; false when there is none.
    bool removeKey(const std::string& key);

private:
    friend class C_CfgFileSnapshot;  // reserves the entries of a parsed section

    std::string sectionName;
    std::vector<C_CfgFileEntry> body;
};

bool operator==(const C_CfgFileSection& a, const C_CfgFileSection& b);
inline bool operator!=(const C_CfgFileSection& a, const C_CfgFileSection& b)
{
    return !(a == b);
}

// Takes the name out of a header line "[name]...": the text between the
// first "[" (which must be the first character) and the first "]", not
// trimmed; what follows the "]" is ignored. Throws
// Configuration::SyntaxError ("Section header invalid") otherwise, leaving
// `name` unchanged.
void ParseSectionHeader(const std::string& line, std::string& name);

// text followed by blank lines up to `length` bytes (CR LF pairs, and one
// LF when an odd byte is left); text itself when it is that long already.
// The grammar reads the result as it reads text, apart from the blank lines
// (kept verbatim in the last section, or in the leading text of a text
// without a header).
// Written over a longer old text before the file is cut, it leaves a file
// that parses at every moment of the rewrite.
std::string withBlankLinesTo(const std::string& text, std::size_t length);

// The sections of one INI text. References and pointers to a section stay
// valid until a section is added or removed.
class C_CfgFileSnapshot {
public:
    C_CfgFileSnapshot() = default;
    C_CfgFileSnapshot(const C_CfgFileSnapshot&) = default;
    C_CfgFileSnapshot& operator=(const C_CfgFileSnapshot&) = default;
    virtual ~C_CfgFileSnapshot() = default;

    const std::vector<C_CfgFileSection>& sections() const { return sectionList; }

    // The bytes before the first header line, exactly as read: comments,
    // blank or stray lines with their own line breaks, and a UTF-8
    // byte-order mark. The program that owns the file keeps them there, so
    // every rendering gives them back unchanged. A header right after the
    // byte-order mark is the first header. The whole text when it has none.
    const std::string& leadingText() const { return leading; }

    // Rewinds `in` to offset 0, parses all of it and replaces the sections
    // and the leading text. On Configuration::SyntaxError, an exception of
    // the stream's buffer, or std::ios_base::failure when the stream cannot
    // be rewound, the previous ones stay. The stream's state flags are
    // cleared after a successful read so that it can be written next.
    void readFrom(std::istream& in);

    // Parses a whole text held in memory as readFrom parses a stream's, and
    // with the same errors; on Configuration::SyntaxError the previous
    // sections and leading text stay.
    void parse(const std::string& text);

    // The text writeTo writes: the leading text as it was read (followed by
    // a CR LF when a section now follows a last line without one), then
    // every section, each line ending in CR LF.
    std::string render() const;

    // Writes the rendered text to `out` in one write and flushes it. A
    // stream whose exception mask asks for it throws its own error;
    // otherwise a write or flush that fails throws std::ios_base::failure.
    void writeTo(std::ostream& out) const;

    // Writes the snapshot into a file of its own, under an exclusive lock.
    // Defined with the locked-file binding (Windows only).
    void saveAs(const std::wstring& path) const;

    bool findSection(const std::string& name, std::size_t& index) const;
    C_CfgFileSection* findSection(const std::string& name);
    const C_CfgFileSection* findSection(const std::string& name) const;

    // The first section called `name`. When there is none: throws
    // Configuration::SectionNotFoundError(name) if !createIfMissing, else
    // appends an empty one (see addSection for the names refused).
    C_CfgFileSection& getSection(const std::string& name, bool createIfMissing = false);
    const C_CfgFileSection& getSection(const std::string& name) const;
    void getOrAddSection(const std::string& name, C_CfgFileSection*& section);

    // Appends an empty section without looking for one of the same name.
    // Throws Configuration::Exception for a name holding a CR or LF.
    void addSection(const std::string& name, std::size_t& index);

    // Erases the first section called `name`; false when there is none.
    bool removeSection(const std::string& name);

private:
    std::string leading;
    std::vector<C_CfgFileSection> sectionList;
};
