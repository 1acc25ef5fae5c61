// Reading and replacing one value in a text already in rendered form must
// give exactly what the model gives (parse, look up or setValue, render),
// and must decline every text the model would change or refuse.

#include "utillib_configfile/CfgFileSnapshot.h"
#include "utillib_configfile/CfgRenderedText.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

struct RenderedCase {
    const char* what;
    std::string text;
    const char* section;
    const char* key;
    const char* value;
    bool rendered;  // whether the text counts as rendered form
};

// What the model makes of the same request: the rendered text after
// setValue, or nothing when the section is missing.
bool modelSet(const std::string& text, const RenderedCase& c, std::string& out, std::string& before, bool& hadKey)
{
    C_CfgFileSnapshot model;
    model.parse(text);
    C_CfgFileSection* section = model.findSection(c.section);
    if (!section)
        return false;
    hadKey = section->tryGetValue(c.key, before);
    section->setValue(c.key, c.value);
    out = model.render();
    return true;
}

void PrintTo(const RenderedCase& c, std::ostream* os)
{
    *os << c.what;
}

class RenderedValueTest : public testing::TestWithParam<RenderedCase> {};

TEST_P(RenderedValueTest, GivesTheModelsResultOrDeclines)
{
    const RenderedCase& c = GetParam();
    const C_CfgRenderedValue found = findRenderedValue(c.text, c.section, c.key);
    EXPECT_EQ(found.rendered, c.rendered);
    std::string changed = c.text;
    const bool set = setRenderedValue(changed, c.section, c.key, c.value);
    if (!c.rendered) {
        EXPECT_FALSE(set);
        EXPECT_EQ(changed, c.text);
        return;
    }
    std::string expected, before;
    bool hadKey = false;
    if (std::string(c.value).find_first_of("\r\n") != std::string::npos) {
        // The model refuses it with its error; the caller goes that way.
        EXPECT_FALSE(set);
        EXPECT_EQ(changed, c.text);
        EXPECT_THROW(modelSet(c.text, c, expected, before, hadKey), Configuration::Exception);
        return;
    }
    const bool sectionThere = modelSet(c.text, c, expected, before, hadKey);
    EXPECT_EQ(found.sectionFound, sectionThere);
    EXPECT_EQ(set, sectionThere);
    EXPECT_EQ(changed, sectionThere ? expected : c.text);
    EXPECT_EQ(found.keyFound, hadKey);
    if (found.keyFound) {
        EXPECT_EQ(c.text.substr(found.valueBegin, found.valueEnd - found.valueBegin), before);
    }
}

const std::string two = "[Line01]\r\nName=A\r\nMode=REC\r\n; note\r\n\r\n[Line02]\r\nMode=VOX\r\n";

INSTANTIATE_TEST_SUITE_P(
    Texts, RenderedValueTest,
    testing::Values(
        RenderedCase{"value replaced in place", two, "Line01", "Mode", "CNT", true},
        RenderedCase{"names and keys match as the model matches them", two, "LINE02", "mode", "ALWAYS", true},
        RenderedCase{"a missing key goes after the trailing comment and blank line", two, "Line01", "Path", "D:\\",
                     true},
        RenderedCase{"a missing key at the end of the text", two, "Line02", "Gain", "3", true},
        RenderedCase{"a missing section is left to the model", two, "Line03", "Mode", "CNT", true},
        RenderedCase{"the first of duplicate sections and keys", "[A]\r\nk=1\r\nk=2\r\n[a]\r\nk=3\r\n", "a", "K", "9",
                     true},
        RenderedCase{"a value with trailing blanks is written as given", two, "Line01", "Mode", "CNT  ", true},
        RenderedCase{"empty values and keys", "[S]\r\n=x\r\nMode=\r\n", "S", "Mode", "", true},
        RenderedCase{"a value holding a line break is left to the model", two, "Line01", "Mode", "a\r\nb", true},
        // The leading text is the model's as it stands, whatever its form.
        RenderedCase{"lines before the first header", "x\r\n" + two, "Line01", "Mode", "CNT", true},
        RenderedCase{"a byte-order mark before the first header", "\xEF\xBB\xBF" + two, "Line02", "Mode", "CNT", true},
        RenderedCase{"comments, blank lines and LF line ends before the first header",
                     "\xEF\xBB\xBF; logger\n\n stray text\r\n" + two, "Line01", "Gain", "3", true},
        RenderedCase{"a header after a lone CR", "; c\r" + two, "Line01", "Mode", "CNT", true},
        RenderedCase{"a text without a header", "; c\r\nMode=A\r\n", "Line01", "Mode", "CNT", false},
        RenderedCase{"leading text before a header in another form", "; c\n[S]\nMode=A\n", "S", "Mode", "B", false},
        RenderedCase{"LF line ends", "[S]\nMode=A\n", "S", "Mode", "B", false},
        RenderedCase{"a last line without a line break", "[S]\r\nMode=A", "S", "Mode", "B", false},
        RenderedCase{"text after a header's bracket", "[S] x\r\nMode=A\r\n", "S", "Mode", "B", false},
        RenderedCase{"blanks before the equals sign", "[S]\r\nMode =A\r\n", "S", "Mode", "B", false},
        RenderedCase{"a trailing tab in a value elsewhere", "[S]\r\nMode=A\r\n[T]\r\nk=v\t\r\n", "S", "Mode", "B",
                     false},
        RenderedCase{"a syntax error further down", two + "[Broken\r\n", "Line01", "Mode", "B", false},
        RenderedCase{"a body line without equals sign", "[S]\r\nMode\r\n", "S", "Mode", "B", false},
        RenderedCase{"an empty text", "", "S", "Mode", "B", false},
        // Lines longer than the blocks the scan tests at once.
        RenderedCase{"an equals sign far into a long key", "[S]\r\nAVeryLongKeyNameIndeed=v\r\nMode=A\r\n", "S",
                     "averylongkeynameindeed", "w", true},
        RenderedCase{"a long header name", "[A section name of some length]\r\nMode=A\r\n",
                     "a section name of some length", "Mode", "B", true},
        RenderedCase{"an equals sign in a long comment", "[S]\r\n; a comment line = longer than a block\r\nMode=A\r\n",
                     "S", "Mode", "B", true},
        RenderedCase{"a blank before an equals sign far into a long key", "[S]\r\nAVeryLongKeyNameIndeed =v\r\n", "S",
                     "Mode", "B", false},
        RenderedCase{"a trailing blank at the end of a long value",
                     "[S]\r\nMode=a value long enough to span three blocks of bytes \r\n", "S", "Mode", "B", false},
        RenderedCase{"a closing bracket before the end of a long header",
                     "[Line01] and then some more text]\r\nMode=A\r\n", "Line01", "Mode", "B", false},
        RenderedCase{"a lone LF in a long line", "[S]\r\nMode=a long value with a\nbreak in it\r\n", "S", "Mode", "B",
                     false}),
    [](const testing::TestParamInfo<RenderedCase>& info) { return "case" + std::to_string(info.index); });

}  // namespace

namespace {

// One lookup kept over a run of requests, as the service keeps it over the
// reads and writes of logger.ini, must answer each one as a fresh check of
// the text would, whether the text is the one it left or was changed by
// somebody else meanwhile.
struct Request {
    const char* what;
    const char* replaceWhat;  // when not null, somebody else changes the text first
    const char* replaceWith;
    const char* section;
    const char* key;
    const char* value;  // null: a look-up only
};

void expectSameValue(const C_CfgRenderedValue& a, const C_CfgRenderedValue& b)
{
    EXPECT_EQ(a.rendered, b.rendered);
    EXPECT_EQ(a.sectionFound, b.sectionFound);
    EXPECT_EQ(a.keyFound, b.keyFound);
    EXPECT_EQ(a.valueBegin, b.valueBegin);
    EXPECT_EQ(a.valueEnd, b.valueEnd);
    EXPECT_EQ(a.sectionEnd, b.sectionEnd);
}

TEST(RenderedLookup, AnswersAsAFreshCheckOverARunOfRequests)
{
    const Request requests[] = {
        {"a value made longer", nullptr, nullptr, "Line01", "Mode", "ALWAYS"},
        {"a later section, whose header moved", nullptr, nullptr, "Line03", "Mode", nullptr},
        {"a value made shorter", nullptr, nullptr, "Line01", "Mode", "C"},
        {"a key added to a middle section", nullptr, nullptr, "Line02", "Gain", "3"},
        {"the section after it", nullptr, nullptr, "Line03", "Mode", "VOX"},
        {"a key added at the end of the text", nullptr, nullptr, "Line03", "Path", "D:\\"},
        {"changed elsewhere to the same length", "Name=B", "Name=C", "Line02", "Mode", "REC"},
        {"changed elsewhere into a syntax error of the same length", "Name=C", "Name C", "Line02", "Mode", "CNT"},
        {"put right to the same length", "Name C", "Name=C", "Line02", "Mode", "CNT"},
        {"changed elsewhere out of rendered form", "Name=C", "Name =C", "Line02", "Mode", "CNT"},
        {"put back into rendered form", "Name =C", "Name=C", "Line02", "Mode", "CNT"},
        {"a value with a trailing blank", nullptr, nullptr, "Line01", "Mode", "CNT "},
        {"the text that left", nullptr, nullptr, "Line03", "Mode", "REC"},
        {"put right elsewhere", "CNT \r\n", "CNT\r\n", "Line01", "Mode", nullptr},
        {"a key that makes a comment line", nullptr, nullptr, "Line02", "#note", "x"},
        {"a key that makes a header line", nullptr, nullptr, "Line02", "[Line04", "x"},
        {"the section that line opened", nullptr, nullptr, "Line04", "Mode", nullptr},
        {"a section removed elsewhere", "[Line02]\r\n", "", "Line03", "Mode", "ALWAYS"},
    };
    std::string text = "[Line01]\r\nMode=REC\r\n\r\n[Line02]\r\nName=B\r\nMode=VOX\r\n; c\r\n[Line03]\r\nMode=CNT\r\n";
    C_CfgRenderedLookup lookup;
    for (const Request& r : requests) {
        SCOPED_TRACE(r.what);
        if (r.replaceWhat) {
            const std::size_t at = text.find(r.replaceWhat);
            ASSERT_NE(at, std::string::npos);
            text.replace(at, std::strlen(r.replaceWhat), r.replaceWith);
        }
        expectSameValue(lookup.find(text, r.section, r.key), findRenderedValue(text, r.section, r.key));
        if (!r.value)
            continue;
        std::string fresh = text;
        const bool freshSet = setRenderedValue(fresh, r.section, r.key, r.value);
        EXPECT_EQ(lookup.set(text, r.section, r.key, r.value), freshSet);
        EXPECT_EQ(text, fresh);
    }
}

}  // namespace
