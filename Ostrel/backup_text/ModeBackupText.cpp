#include "Ostrel/backup_text/ModeBackupText.h"

#include <algorithm>
#include <sstream>
#include <vector>

#include <boost/algorithm/string/replace.hpp>
#include <boost/optional.hpp>
#include <boost/property_tree/xml_parser.hpp>

namespace Ostrel {

namespace {

namespace pt = boost::property_tree;

const char* const escapeAttribute = "escape";
const char* const percentEscape = "percent";

// A record is two elements deep; a file edited by hand may wrap it a few
// times more. The XML reader recurses once per nested element, so deeper
// nesting is refused before it reaches the reader.
constexpr std::size_t maxNesting = 32;

bool isXmlChar(unsigned long code)
{
    return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
           (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

// The code point of the UTF-8 sequence at text[at], moving `at` past it;
// none for bytes that are no shortest-form sequence.
boost::optional<unsigned long> nextCodePoint(const std::string& text, std::size_t& at)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    std::size_t length;
    unsigned long code, shortest;
    if (lead < 0x80)
        length = 1, code = lead, shortest = 0;
    else if ((lead & 0xE0) == 0xC0)
        length = 2, code = lead & 0x1F, shortest = 0x80;
    else if ((lead & 0xF0) == 0xE0)
        length = 3, code = lead & 0x0F, shortest = 0x800;
    else if ((lead & 0xF8) == 0xF0)
        length = 4, code = lead & 0x07, shortest = 0x10000;
    else
        return boost::none;
    if (text.size() - at < length)
        return boost::none;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return boost::none;
        code = code << 6 | (next & 0x3F);
    }
    if (code < shortest)
        return boost::none;
    at += length;
    return code;
}

// UTF-8 text of characters that XML 1.0 has.
bool isXmlText(const std::string& text)
{
    for (std::size_t at = 0; at < text.size();) {
        const boost::optional<unsigned long> code = nextCodePoint(text, at);
        if (!code || !isXmlChar(*code))
            return false;
    }
    return true;
}

// Printable ASCII stays readable in an escaped text; blanks are escaped too,
// so that no reader can take them for layout.
bool keptAsIs(unsigned char byte)
{
    return byte > ' ' && byte < 0x7F && byte != '%';
}

std::string percentEncoded(const std::string& text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (keptAsIs(byte)) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += digits[byte >> 4];
            encoded += digits[byte & 0xF];
        }
    }
    return encoded;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string percentDecoded(const std::string& text, const std::string& element)
{
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            if (!keptAsIs(static_cast<unsigned char>(text[i])))
                throw DamagedBackupText("escaped text of element " + element + " holds a byte it never holds");
            decoded += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hexDigit(text[i + 1]) : -1;
        const int low = high >= 0 ? hexDigit(text[i + 2]) : -1;
        if (low < 0)
            throw DamagedBackupText("escaped text of element " + element + " has a % without two hex digits");
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

// Children of an element that are elements themselves, not its attributes
// or comments.
bool isElement(const std::string& key)
{
    return key != pt::xml_parser::xmlattr<std::string>() && key != pt::xml_parser::xmlcomment<std::string>();
}

void escapeTexts(pt::ptree& tree)
{
    for (auto& child : tree) {
        if (!isElement(child.first))
            continue;
        pt::ptree& element = child.second;
        if (!isXmlText(element.data())) {
            element.data() = percentEncoded(element.data());
            element.put(pt::xml_parser::xmlattr<std::string>() + "." + escapeAttribute, percentEscape);
        }
        escapeTexts(element);
    }
}

// Recursion bounded by maxNesting: the tree comes from checked text.
void unescapeTexts(pt::ptree& tree)
{
    for (auto& child : tree) {
        if (!isElement(child.first))
            continue;
        pt::ptree& element = child.second;
        const auto attributes = element.find(pt::xml_parser::xmlattr<std::string>());
        if (attributes != element.not_found()) {
            pt::ptree& list = attributes->second;
            const auto escape = list.find(escapeAttribute);
            if (escape != list.not_found()) {
                if (list.count(escapeAttribute) != 1 || escape->second.data() != percentEscape)
                    throw DamagedBackupText("element " + child.first + " has an escape this program does not know");
                element.data() = percentDecoded(element.data(), child.first);
                list.erase(list.to_iterator(escape));
                if (list.empty())
                    element.erase(element.to_iterator(attributes));
            }
        }
        unescapeTexts(element);
    }
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Names of elements and attributes; a name ends where the XML reader's own
// name ends too (at a blank, '/', '>' or '=').
bool isNameChar(char c)
{
    const unsigned char byte = static_cast<unsigned char>(c);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.' || c == ':' || byte >= 0x80;
}

// Checks, without recursion, that the text is XML the reader takes with
// bounded nesting, before the reader sees it. It follows the reader's own
// token rules (rapidxml as boost::property_tree calls it), so that the
// nesting it counts is the nesting the reader recurses into, and it refuses
// what no backup holds and the reader would take in ways that do not come
// back when written again: NUL, document type declarations, CDATA,
// processing instructions inside elements, text outside them, references
// to characters XML does not have, names of other characters, a closing
// tag that names another element.
class NestingCheck {
public:
    explicit NestingCheck(const std::string& text) : text(text) {}

    void run()
    {
        if (text.find('\0') != std::string::npos)
            fail(text.find('\0'), "NUL byte");
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
            at = 3;
        for (;;) {
            skipBlanks();
            if (at == text.size())
                return;
            if (text[at] != '<')
                fail(at, "text outside the elements");
            if (startsHere("<?"))
                skipPast("?>", at + 2);
            else if (startsHere("<!--"))
                skipPast("-->", at + 4);
            else if (startsHere("<!"))
                fail(at, "markup a backup never holds");
            else
                element();
        }
    }

private:
    void element()
    {
        startTag();
        while (!open.empty()) {
            if (at == text.size())
                fail(at, "unexpected end of data");
            if (text[at] != '<')
                characterData();
            else if (startsHere("</"))
                closingTag();
            else if (startsHere("<!--"))
                skipPast("-->", at + 4);
            else if (startsHere("<!") || startsHere("<?"))
                fail(at, "markup a backup never holds");
            else
                startTag();
        }
    }

    void startTag()
    {
        ++at;
        const std::string name = nameHere("element name");
        skipBlanks();
        while (at < text.size() && text[at] != '>' && text[at] != '/')
            attribute();
        if (startsHere(">")) {
            if (open.size() == maxNesting)
                fail(at, "elements nested deeper than " + std::to_string(maxNesting));
            open.push_back(name);
            ++at;
        } else if (startsHere("/>")) {
            at += 2;
        } else {
            fail(at, "expected >");
        }
    }

    void attribute()
    {
        nameHere("attribute name");
        skipBlanks();
        expect('=');
        skipBlanks();
        if (at == text.size() || (text[at] != '"' && text[at] != '\''))
            fail(at, "expected ' or \"");
        const char quote = text[at++];
        while (at < text.size() && text[at] != quote)
            character();
        expect(quote);
        skipBlanks();
    }

    void closingTag()
    {
        at += 2;
        const std::size_t start = at;
        const std::string name = nameHere("element name");
        if (name != open.back())
            fail(start, "</" + name + "> closes <" + open.back() + ">");
        skipBlanks();
        expect('>');
        open.pop_back();
    }

    void characterData()
    {
        while (at < text.size() && text[at] != '<')
            character();
    }

    // One character of text or of an attribute value, where the reader
    // replaces references.
    void character()
    {
        if (!startsHere("&#")) {
            ++at;
            return;
        }
        const std::size_t start = at;
        const bool hex = at + 2 < text.size() && text[at + 2] == 'x';
        at += hex ? 3 : 2;
        const int base = hex ? 16 : 10;
        unsigned long code = 0;
        const std::size_t digits = at;
        for (int digit; at < text.size() && (digit = hexDigit(text[at])) >= 0 && digit < base; ++at)
            code = std::min<unsigned long>(code * base + digit, 0x110000);
        if (at == digits || !startsHere(";") || !isXmlChar(code))
            fail(start, "reference to no XML character");
        ++at;
    }

    std::string nameHere(const char* what)
    {
        const std::size_t start = at;
        while (at < text.size() && isNameChar(text[at]))
            ++at;
        if (at == start ||
            (at < text.size() && !isBlank(text[at]) && text[at] != '>' && text[at] != '/' && text[at] != '='))
            fail(start, std::string("expected ") + what);
        return text.substr(start, at - start);
    }

    void skipBlanks()
    {
        while (at < text.size() && isBlank(text[at]))
            ++at;
    }

    void skipPast(const char* end, std::size_t from)
    {
        const std::size_t found = text.find(end, from);
        if (found == std::string::npos)
            fail(at, "unexpected end of data");
        at = found + std::char_traits<char>::length(end);
    }

    void expect(char c)
    {
        if (!startsHere(std::string(1, c)))
            fail(at, std::string("expected ") + c);
        ++at;
    }

    bool startsHere(const std::string& s) const { return text.compare(at, s.size(), s) == 0; }

    [[noreturn]] void fail(std::size_t where, const std::string& what) const
    {
        const auto line = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(where), '\n') + 1;
        throw DamagedBackupText("line " + std::to_string(line) + ": " + what);
    }

    const std::string& text;
    std::size_t at = 0;
    std::vector<std::string> open;  // the elements around `at`
};

}  // namespace

std::string backupFileText(const pt::ptree& tree)
{
    pt::ptree stored = tree;
    escapeTexts(stored);
    std::ostringstream xml;
    pt::write_xml(xml, stored, pt::xml_writer_make_settings<std::string>(' ', 0, "utf-8"));
    std::string text = xml.str();
    // As every earlier run wrote the file, through a stream in text mode.
    boost::algorithm::replace_all(text, "\n", "\r\n");
    return text;
}

pt::ptree backupFileTree(const std::string& bytes)
{
    std::string text = bytes;
    boost::algorithm::replace_all(text, "\r\n", "\n");
    NestingCheck(text).run();
    std::istringstream xml(text);
    pt::ptree tree;
    try {
        pt::read_xml(xml, tree);
    } catch (const pt::xml_parser_error& e) {
        throw DamagedBackupText(e.what());
    }
    unescapeTexts(tree);
    return tree;
}

}  // namespace Ostrel
