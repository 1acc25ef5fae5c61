#pragma once
// Reading and replacing one value of an INI text that is already in the
// form the model renders (CfgFileSnapshot.h), without building the model,
// with exactly the result the model would give.

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

// Where a key's value stands in a text that is already in the form
// C_CfgFileSnapshot::render writes (any leading text before the first
// header line, then every line ending in CR LF, headers with nothing after
// the "]", key/value lines without blanks or tabs before the "=" or at
// their end). Lets a caller read or replace one value without building the
// model, with exactly the result the model would give.
struct C_CfgRenderedValue {
    bool rendered = false;       // the text is in rendered form (nothing else is set otherwise)
    bool sectionFound = false;   // a section of that name exists (the first one is used)
    bool keyFound = false;       // it has a key/value line of that key (the first one is used)
    std::size_t valueBegin = 0;  // the value's bytes, when keyFound
    std::size_t valueEnd = 0;
    std::size_t sectionEnd = 0;  // where the section's last line ends, when sectionFound
};

// Looks up section and key (matched as the model matches them) in text.
C_CfgRenderedValue findRenderedValue(const std::string& text, const std::string& section, const std::string& key);

// The text that parsing `text`, setting key to value in its first section
// called `section` and rendering would give; false, with text unchanged,
// when text is not in rendered form, the section is missing, or key or
// value holds a CR or LF (the model's way then reports the error).
bool setRenderedValue(std::string& text, const std::string& section, const std::string& key, const std::string& value);

// findRenderedValue and setRenderedValue with a memory of the last text
// seen: its form and where its headers stand. A file read again just as it
// was left (logger.ini between two changes of the same program) is then
// compared, not checked again line by line; any other text is checked anew.
// The answers are those of the free functions, whatever the memory holds.
// Each call holds the object's own lock throughout, so threads may share one.
class C_CfgRenderedLookup {
public:
    C_CfgRenderedLookup() = default;
    C_CfgRenderedLookup(const C_CfgRenderedLookup&) = delete;
    C_CfgRenderedLookup& operator=(const C_CfgRenderedLookup&) = delete;

    C_CfgRenderedValue find(const std::string& text, const std::string& section, const std::string& key);
    bool set(std::string& text, const std::string& section, const std::string& key, const std::string& value);

private:
    C_CfgRenderedValue findLocked(const std::string& text, const std::string& section, const std::string& key);

    struct Header {
        std::size_t open;   // the "[" that starts the line
        std::size_t close;  // the "]" that ends it
    };
    // Checks text unless it is the one remembered.
    void learn(const std::string& text);
    // Takes text, which differs from the remembered one by `change` at
    // `at`: the headers from there on move; when the changed line is not a
    // key/value line in rendered form, nothing is remembered.
    void follow(const std::string& text, std::size_t at, std::ptrdiff_t change);

    std::mutex mutex;
    std::string remembered;
    bool known = false;     // the remembered text was checked
    bool rendered = false;  // and is in rendered form, with these headers
    std::vector<Header> headers;
};
