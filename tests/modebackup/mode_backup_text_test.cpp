// The backup file's text: every byte string comes back as it was, XML text
// keeps the form earlier versions stored, their files read as they always
// did, and bytes that are no backup are refused, never a crash.

#include "Ostrel/backup_text/ModeBackupText.h"

#include <sstream>

#include <boost/algorithm/string/replace.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace Ostrel;
using namespace std::string_literals;
using testing::HasSubstr;
namespace pt = boost::property_tree;

namespace {

const std::string declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

pt::ptree recordSaving(const std::string& saved)
{
    pt::ptree tree;
    tree.put("Line03.current_mode", "CNT");
    tree.put("Line03.saved_mode", saved);
    return tree;
}

std::string savedMode(const pt::ptree& tree)
{
    return tree.get<std::string>("Line03.saved_mode");
}

// The file as earlier versions stored it: the property tree's XML writer
// on a stream in text mode.
std::string earlierVersionsFile(const pt::ptree& tree)
{
    std::ostringstream xml;
    pt::write_xml(xml, tree, pt::xml_writer_make_settings<std::string>(' ', 0, "utf-8"));
    std::string text = xml.str();
    boost::algorithm::replace_all(text, "\n", "\r\n");
    return text;
}

// How earlier versions read a file.
pt::ptree earlierVersionsTree(const std::string& file)
{
    std::string text = file;
    boost::algorithm::replace_all(text, "\r\n", "\n");
    std::istringstream xml(text);
    pt::ptree tree;
    pt::read_xml(xml, tree);
    return tree;
}

// Bytes any XML 1.0 reader takes as they are: ASCII without the control
// bytes other than tab and line ends (every escaped form is ASCII).
bool onlyPlainAscii(const std::string& text)
{
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (!(c == '\t' || c == '\n' || c == '\r' || (byte >= 0x20 && byte < 0x80)))
            return false;
    }
    return true;
}

// A single byte XML 1.0 carries as UTF-8 text.
bool xmlCarries(unsigned char byte)
{
    return byte == '\t' || byte == '\n' || byte == '\r' || (byte >= 0x20 && byte < 0x80);
}

TEST(ModeBackupText, EveryByteComesBackAloneAndAmongOthers)
{
    for (int value = 0; value < 256; ++value) {
        const char byte = static_cast<char>(value);
        const std::string alone(1, byte);
        for (const std::string& mode : {alone, "A" + alone + "B", alone + alone + " x", "x " + alone, alone + "%20"}) {
            SCOPED_TRACE("byte " + std::to_string(value) + " in \"" + mode + "\"");
            const pt::ptree tree = recordSaving(mode);
            const std::string file = backupFileText(tree);
            EXPECT_EQ(backupFileTree(file), tree);
            EXPECT_TRUE(onlyPlainAscii(file)) << file;
            if (xmlCarries(static_cast<unsigned char>(value)))
                EXPECT_EQ(file, earlierVersionsFile(tree));
            else
                EXPECT_THAT(file, HasSubstr("<saved_mode escape=\"percent\">"));
        }
    }
}

// A text and the saved_mode element it is stored as.
struct StoredForm {
    const char* name;
    std::string mode;
    std::string element;
};

void PrintTo(const StoredForm& c, std::ostream* out)
{
    *out << c.name;
}

class StoredFormTest : public testing::TestWithParam<StoredForm> {};

TEST_P(StoredFormTest, IsWrittenSoAndReadBack)
{
    const StoredForm& c = GetParam();
    const pt::ptree tree = recordSaving(c.mode);
    const std::string file = backupFileText(tree);
    EXPECT_EQ(file, declaration + "<Line03><current_mode>CNT</current_mode>" + c.element + "</Line03>");
    EXPECT_EQ(savedMode(backupFileTree(file)), c.mode);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StoredFormTest,
    testing::Values(
        StoredForm{"Utf8Text", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC",
                   "<saved_mode>\xC3\xA9t\xC3\xA9 \xE2\x82\xAC</saved_mode>"},
        StoredForm{"LargestCodePoint", "\xF4\x8F\xBF\xBF", "<saved_mode>\xF4\x8F\xBF\xBF</saved_mode>"},
        StoredForm{"XmlSpecials", "a<b>&\"c'", "<saved_mode>a&lt;b&gt;&amp;&quot;c&apos;</saved_mode>"},
        StoredForm{"OnlyBlanks", "   ", "<saved_mode>&#32;  </saved_mode>"},
        StoredForm{"OnlyATab", "\t", "<saved_mode>\t</saved_mode>"},
        StoredForm{"LineEnds", "a\r\nb\nc", "<saved_mode>a\r\r\nb\r\nc</saved_mode>"},
        StoredForm{"Empty", "", "<saved_mode/>"},
        StoredForm{"Nul", "A\0B"s, "<saved_mode escape=\"percent\">A%00B</saved_mode>"},
        StoredForm{"ControlByte", "REC\x1B", "<saved_mode escape=\"percent\">REC%1B</saved_mode>"},
        StoredForm{"EscapedTextKeepsPrintableAscii", "a b%<\x01",
                   "<saved_mode escape=\"percent\">a%20b%25&lt;%01</saved_mode>"},
        StoredForm{"LoneByteAbove127", "caf\xE9", "<saved_mode escape=\"percent\">caf%E9</saved_mode>"},
        StoredForm{"OverlongSlash", "\xC0\xAF", "<saved_mode escape=\"percent\">%C0%AF</saved_mode>"},
        StoredForm{"EncodedSurrogate", "\xED\xA0\x80", "<saved_mode escape=\"percent\">%ED%A0%80</saved_mode>"},
        StoredForm{"NonCharacterFFFE", "\xEF\xBF\xBE", "<saved_mode escape=\"percent\">%EF%BF%BE</saved_mode>"},
        StoredForm{"BeyondUnicode", "\xF4\x90\x80\x80", "<saved_mode escape=\"percent\">%F4%90%80%80</saved_mode>"},
        StoredForm{"CutShortSequence", "x\xE2\x82", "<saved_mode escape=\"percent\">x%E2%82</saved_mode>"}),
    [](const testing::TestParamInfo<StoredForm>& info) { return std::string(info.param.name); });

// Files as earlier versions wrote them, or as a person edited them: read
// as earlier versions read them, and written back they read the same again.
TEST(ModeBackupText, FilesOfEarlierVersionsReadAsTheyAlwaysDid)
{
    const std::string records =
        "<Line03><current_mode>CNT</current_mode><saved_mode>M1</saved_mode></Line03>"
        "<Line07><current_mode>CNT</current_mode><saved_mode/></Line07>";
    for (const std::string& file : {
             declaration,
             declaration + records,
             declaration + "<Line03><current_mode>CNT</current_mode><saved_mode>%00 A%</saved_mode></Line03>",
             declaration + "<Line03><current_mode>CNT</current_mode><saved_mode>A\x01\xFF</saved_mode></Line03>",
             declaration + "<Line03><current_mode>CNT</current_mode><saved_mode>&#32;  &#x41;&#66;</saved_mode>"
                           "</Line03>",
             "\xEF\xBB\xBF" + declaration + records,
             std::string("<?xml version=\"1.0\"?>\n<!-- by hand -->\n<Line03 note='x &amp; y'>\n  <current_mode>CNT"
                         "</current_mode>\n  <saved_mode>M1</saved_mode><!-- was M2 -->\n</Line03 >\n"),
             records + "\n\n",
         }) {
        SCOPED_TRACE(file);
        const pt::ptree tree = backupFileTree(file);
        EXPECT_EQ(tree, earlierVersionsTree(file));
        EXPECT_EQ(backupFileTree(backupFileText(tree)), tree);
    }
}

TEST(ModeBackupText, NestingUpToTheLimitIsRead)
{
    std::string open, close;
    for (int depth = 0; depth < 32; ++depth) {
        open += "<a>";
        close += "</a>";
    }
    const pt::ptree tree = backupFileTree(declaration + open + "x" + close);
    EXPECT_EQ(tree.get<std::string>("a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a.a"), "x");
}

std::string nested(int depth)
{
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += "<a>";
    return text;
}

std::string nestedClosed(int depth)
{
    std::string text;
    for (int i = 0; i < depth; ++i)
        text = "<a>" + text + "</a>";
    return text;
}

// Bytes that are no backup, and the reason given.
struct Damage {
    const char* name;
    std::string file;
    const char* reason;
};

void PrintTo(const Damage& c, std::ostream* out)
{
    *out << c.name;
}

class DamagedTextTest : public testing::TestWithParam<Damage> {};

TEST_P(DamagedTextTest, IsRefusedWithItsReason)
{
    const Damage& c = GetParam();
    try {
        backupFileTree(c.file);
        ADD_FAILURE() << "taken: " << c.file.substr(0, 200);
    } catch (const DamagedBackupText& e) {
        EXPECT_THAT(e.what(), HasSubstr(c.reason));
    }
}

const std::string line03 = "<Line03><current_mode>CNT</current_mode>";

INSTANTIATE_TEST_SUITE_P(
    Files, DamagedTextTest,
    testing::Values(
        Damage{"Truncated", declaration + line03 + "<saved_mo", "expected"},
        Damage{"NulInAValue", declaration + line03 + "<saved_mode>A\0B</saved_mode></Line03>"s, "line 2: NUL byte"},
        Damage{"NulAfterTheRecords", declaration + line03 + "</Line03>" + "\0junk"s, "NUL byte"},
        // Deep enough to exhaust any stack of a reader that recurses.
        Damage{"NestedVeryDeeply", declaration + nested(1000000), "nested deeper than 32"},
        Damage{"NestedOneTooDeep", declaration + nestedClosed(33), "nested deeper than 32"},
        Damage{"ClosingTagOfAnotherElement", declaration + line03 + "</Line07>", "</Line07> closes <Line03>"},
        Damage{"TextOutsideTheElements", declaration + "M1", "text outside the elements"},
        Damage{"DocumentType", "<!DOCTYPE x [<!ENTITY e 'v'>]><x/>", "markup a backup never holds"},
        Damage{"DocumentTypeInside", "<x><!DOCTYPE y></x>", "markup a backup never holds"},
        Damage{"CData", "<x><![CDATA[M1]]></x>", "markup a backup never holds"},
        Damage{"InstructionInside", "<x><?pi?></x>", "markup a backup never holds"},
        Damage{"ReferenceToNul", "<x>&#0;</x>", "reference to no XML character"},
        Damage{"ReferenceWithoutDigits", "<x>&#;</x>", "reference to no XML character"},
        Damage{"ReferenceToASurrogate", "<x>&#xD800;</x>", "reference to no XML character"},
        Damage{"ReferenceBeyondUnicode", "<x a='&#1114112;'/>", "reference to no XML character"},
        Damage{"ReferenceThatWrapsAround", "<x>&#x100000041;</x>", "reference to no XML character"},
        Damage{"DecimalReferenceWithHexDigits", "<x>&#1a;</x>", "reference to no XML character"},
        Damage{"NameOfOtherCharacters", "<a<b>x</a<b>", "expected element name"},
        Damage{"AttributeWithoutValue", "<x a></x>", "expected ="},
        Damage{"EscapeUnknown", "<x escape=\"base64\">AA==</x>", "an escape this program does not know"},
        Damage{"EscapeTwice", "<x escape=\"percent\" escape=\"percent\">%41</x>",
               "an escape this program does not know"},
        Damage{"PercentWithoutDigits", "<x escape=\"percent\">A%4</x>", "a % without two hex digits"},
        Damage{"PercentWithNoHexDigits", "<x escape=\"percent\">%G0</x>", "a % without two hex digits"},
        Damage{"BlankInEscapedText", "<x escape=\"percent\">A B</x>", "a byte it never holds"}),
    [](const testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

}  // namespace
