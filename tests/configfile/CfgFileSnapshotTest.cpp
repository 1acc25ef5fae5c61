#include "utillib_configfile/CfgFileSnapshot.h"

#include <boost/exception/get_error_info.hpp>
#include <boost/exception/info.hpp>
#include <boost/throw_exception.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

// A compact picture of a model: the leading text in braces (when there is
// one), "[name]" per section, then per entry <key>=<value> for a key/value
// line or "verbatim" for any other, each followed by "|", so a test states
// the whole parse in one string.
std::string describe(const C_CfgFileSnapshot& snapshot)
{
    std::string out;
    if (!snapshot.leadingText().empty())
        out += "{" + snapshot.leadingText() + "}";
    for (const auto& section : snapshot.sections()) {
        out += "[" + section.name() + "]";
        for (const auto& entry : section.entries())
            out += entry.isKeyValue ? "<" + entry.key + ">=<" + entry.value + ">|" : "\"" + entry.key + "\"|";
    }
    return out;
}

C_CfgFileSnapshot parse(const std::string& text)
{
    std::stringstream stream(text);
    C_CfgFileSnapshot snapshot;
    snapshot.readFrom(stream);
    return snapshot;
}

std::string render(const C_CfgFileSnapshot& snapshot)
{
    std::ostringstream out;
    snapshot.writeTo(out);
    return out.str();
}

struct TextCase {
    const char* name;
    std::string input;
    std::string model;
    std::string rendered;
};

class ReadAndRender : public ::testing::TestWithParam<TextCase> {};

TEST_P(ReadAndRender, GivesModelAndBytes)
{
    const TextCase& c = GetParam();
    const C_CfgFileSnapshot snapshot = parse(c.input);
    EXPECT_EQ(describe(snapshot), c.model);
    EXPECT_EQ(render(snapshot), c.rendered);
    // Rendering is a fixed point: what was written reads back as the same model.
    EXPECT_EQ(describe(parse(c.rendered)), c.model);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Texts, ReadAndRender,
    ::testing::Values(
        TextCase{"Empty", "", "", ""},
        TextCase{"NoHeaderAtAll", "Mode=CNT\n; note\r\n", "{Mode=CNT\n; note\r\n}", "Mode=CNT\n; note\r\n"},
        TextCase{"LineFeedOnly", "[Line01]\nMode=CNT\n", "[Line01]<Mode>=<CNT>|", "[Line01]\r\nMode=CNT\r\n"},
        TextCase{"CarriageReturnOnly", "[Line01]\rMode=CNT\r", "[Line01]<Mode>=<CNT>|", "[Line01]\r\nMode=CNT\r\n"},
        TextCase{"CrLf", "[Line01]\r\nMode=CNT\r\n", "[Line01]<Mode>=<CNT>|", "[Line01]\r\nMode=CNT\r\n"},
        TextCase{"MixedLineEnds", "[A]\r\n\n\r\rk=v\n\r\n", "[A]\"\"|\"\"|\"\"|<k>=<v>|\"\"|",
                 "[A]\r\n\r\n\r\n\r\nk=v\r\n\r\n"},
        TextCase{"LastLineWithoutBreak", "[A]\nk=v", "[A]<k>=<v>|", "[A]\r\nk=v\r\n"},
        TextCase{"LoneCrAtEnd", "[A]\nk=v\r", "[A]<k>=<v>|", "[A]\r\nk=v\r\n"},
        TextCase{"TrailingBlankLinesKept", "[A]\n\n\n", "[A]\"\"|\"\"|", "[A]\r\n\r\n\r\n"},
        // What the logging application keeps before its first section stays
        // byte for byte, line breaks included; none of it is parsed.
        TextCase{"LinesBeforeFirstHeaderKept", "Mode\n; c\r\n\r\n=x\n[A]\nk=v\n", "{Mode\n; c\r\n\r\n=x\n}[A]<k>=<v>|",
                 "Mode\n; c\r\n\r\n=x\n[A]\r\nk=v\r\n"},
        TextCase{"HeaderRightAfterByteOrderMark", "\xEF\xBB\xBF[A]\nk=v\n[B]\nm=n\n",
                 "{\xEF\xBB\xBF}[A]<k>=<v>|[B]<m>=<n>|", "\xEF\xBB\xBF[A]\r\nk=v\r\n[B]\r\nm=n\r\n"},
        TextCase{"ByteOrderMarkThenComments", "\xEF\xBB\xBF; logger\r\n\r\n[A]\r\nk=v\r\n",
                 "{\xEF\xBB\xBF; logger\r\n\r\n}[A]<k>=<v>|", "\xEF\xBB\xBF; logger\r\n\r\n[A]\r\nk=v\r\n"},
        TextCase{"ByteOrderMarkAlone", "\xEF\xBB\xBF", "{\xEF\xBB\xBF}", "\xEF\xBB\xBF"},
        TextCase{"BracketInsideALeadingLineIsNoHeader", "x [A]\n[B]\n", "{x [A]\n}[B]", "x [A]\n[B]\r\n"},
        TextCase{"HeaderAfterALoneCr", "; c\r[A]\rk=v\r", "{; c\r}[A]<k>=<v>|", "; c\r[A]\r\nk=v\r\n"},
        TextCase{"TextAfterBracketIgnored", "[Line01] ; the first line\nMode=CNT\n", "[Line01]<Mode>=<CNT>|",
                 "[Line01]\r\nMode=CNT\r\n"},
        TextCase{"NameUpToFirstBracket", "[A]]x]\n", "[A]", "[A]\r\n"},
        TextCase{"NameNotTrimmed", "[ Line 01\t]\n", "[ Line 01\t]", "[ Line 01\t]\r\n"},
        TextCase{"EmptyName", "[]\n", "[]", "[]\r\n"},
        TextCase{"OpeningBracketInsideName", "[[A]\n", "[[A]", "[[A]\r\n"},
        TextCase{"KeyAndValueLoseTrailingBlanks", "[A]\nMode = CNT  \n", "[A]<Mode>=< CNT>|", "[A]\r\nMode= CNT\r\n"},
        TextCase{"TrailingTabsToo", "[A]\nk\t=\tv\t \t\n", "[A]<k>=<\tv>|", "[A]\r\nk=\tv\r\n"},
        TextCase{"LeadingBlanksStayInKey", "[A]\n  Mode=CNT\n", "[A]<  Mode>=<CNT>|", "[A]\r\n  Mode=CNT\r\n"},
        TextCase{"FurtherEqualsBelongToValue", "[A]\nA=B=C\n", "[A]<A>=<B=C>|", "[A]\r\nA=B=C\r\n"},
        TextCase{"EmptyKeyAndValue", "[A]\n=\n \t= \t\n", "[A]<>=<>|<>=<>|", "[A]\r\n=\r\n=\r\n"},
        TextCase{"KeyWithBlanksInside", "[A]\nLine Mode 2 = x y \n", "[A]<Line Mode 2>=< x y>|",
                 "[A]\r\nLine Mode 2= x y\r\n"},
        TextCase{"CommentsAndBlanksVerbatim", "[A]\n#h=1 \n/s \n;c=\n \t \nk=v\n",
                 "[A]\"#h=1 \"|\"/s \"|\";c=\"|\" \t \"|<k>=<v>|", "[A]\r\n#h=1 \r\n/s \r\n;c=\r\n \t \r\nk=v\r\n"},
        TextCase{"CommentMarkerAfterBlanksIsAKeyLine", "[A]\n  ;x=1\n", "[A]<  ;x>=<1>|", "[A]\r\n  ;x=1\r\n"},
        TextCase{"DuplicatesKept", "[a]\nk=1\nK=2\n[A]\nk=3\n", "[a]<k>=<1>|<K>=<2>|[A]<k>=<3>|",
                 "[a]\r\nk=1\r\nK=2\r\n[A]\r\nk=3\r\n"},
        TextCase{"BytesUnchanged", "[Lin\xE9]\n\xE4=\x01\x7F\xFF\n"s, "[Lin\xE9]<\xE4>=<\x01\x7F\xFF>|"s,
                 "[Lin\xE9]\r\n\xE4=\x01\x7F\xFF\r\n"s},
        TextCase{"NulBytesAreText", "[A\0B]\nk=\0\n"s, "[A\0B]<k>=<\0>|"s, "[A\0B]\r\nk=\0\r\n"s}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

struct ErrorCase {
    const char* name;
    std::string input;
    std::string what;
};

class SyntaxErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(SyntaxErrors, AreReportedWithTheLineAndKeepTheOldSections)
{
    const ErrorCase& c = GetParam();
    C_CfgFileSnapshot snapshot = parse("; old\n[Old]\nMode=CNT\n");
    std::stringstream stream(c.input);
    try {
        snapshot.readFrom(stream);
        FAIL() << "no syntax error";
    } catch (const Configuration::SyntaxError& e) {
        EXPECT_EQ(std::string(e.what()), c.what);
    }
    EXPECT_EQ(describe(snapshot), "{; old\n}[Old]<Mode>=<CNT>|");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SyntaxErrors,
    ::testing::Values(
        ErrorCase{"HeaderWithoutBracket", "[A]\nk=v\n[Line01 ; x\n",
                  "Syntax error. Section header invalid: \"[Line01 ; x\""},
        ErrorCase{"FirstHeaderWithoutBracket", "[Line01\n", "Syntax error. Section header invalid: \"[Line01\""},
        ErrorCase{"HeaderAfterTheByteOrderMarkIsChecked", "\xEF\xBB\xBF[Line01\n",
                  "Syntax error. Section header invalid: \"[Line01\""},
        ErrorCase{"ByteOrderMarkInsideTheTextIsText", "[A]\n\xEF\xBB\xBF[B]\n",
                  "Syntax error. Key-value pair format violated: \"\xEF\xBB\xBF[B]\""},
        ErrorCase{"WordWithoutEquals", "[A]\nMode\n", "Syntax error. Key-value pair format violated: \"Mode\""},
        ErrorCase{"CommentOnlyByFirstCharacter", "[A]\n  ;no equals\n",
                  "Syntax error. Key-value pair format violated: \"  ;no equals\""},
        ErrorCase{"TabBeforeHash", "[A]\n\t#x\n", "Syntax error. Key-value pair format violated: \"\t#x\""},
        ErrorCase{"HeaderErrorBeforeEarlierBodyError", "[A]\nMode\n[B\n",
                  "Syntax error. Section header invalid: \"[B\""},
        ErrorCase{"BodyErrorInLaterSection", "[A]\nk=v\n[B]\nk=v\nbad\n[C]\n",
                  "Syntax error. Key-value pair format violated: \"bad\""},
        ErrorCase{"CrOnlyText", "[A]\rbad\r", "Syntax error. Key-value pair format violated: \"bad\""}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

TEST(Exceptions, CarryTheThrowSiteAndCopyIntoAnExceptionPointer)
{
    std::exception_ptr caught;
    try {
        parse("[A\n");
    } catch (...) {
        caught = std::current_exception();
    }
    ASSERT_TRUE(caught);
    try {
        std::rethrow_exception(caught);
    } catch (const Configuration::Exception& e) {
        EXPECT_NE(boost::get_error_info<boost::throw_function>(e), nullptr);
        ASSERT_NE(boost::get_error_info<boost::throw_file>(e), nullptr);
        EXPECT_NE(std::string(*boost::get_error_info<boost::throw_file>(e)).find("CfgFileSnapshot"), std::string::npos);
        EXPECT_NE(boost::get_error_info<boost::throw_line>(e), nullptr);
        EXPECT_NE(dynamic_cast<const std::exception*>(&e), nullptr);
    }
}

TEST(Exceptions, Texts)
{
    EXPECT_STREQ(Configuration::Exception("plain").what(), "plain");
    EXPECT_STREQ(Configuration::KeyNotFoundError("Mode").what(), "Key not found: Mode");
    EXPECT_STREQ(Configuration::SectionNotFoundError("Line07").what(), "Section not found: Line07");
}

TEST(ParseSectionHeader, LeavesTheNameAloneOnError)
{
    std::string name = "before";
    for (const char* bad : {"", "Line01]", " [Line01]", "[Line01"}) {
        EXPECT_THROW(ParseSectionHeader(bad, name), Configuration::SyntaxError) << bad;
        EXPECT_EQ(name, "before");
    }
    ParseSectionHeader("[x] y", name);
    EXPECT_EQ(name, "x");
}

class Lookups : public ::testing::Test {
protected:
    C_CfgFileSnapshot snapshot = parse(
        "[Line01]\n"
        "; Mode=OFF\n"
        "Mode=CNT\n"
        "  Speed=1\n"
        "MODE=VOX\n"
        "\xE4=lower\n"
        "[line01]\n"
        "Mode=second section\n"
        "[Line02]\n"
        "Mode=ALW\n"
        "\n");
};

TEST_F(Lookups, FirstMatchIgnoringAsciiCase)
{
    EXPECT_EQ(snapshot.getSection("line01").getValue("mode"), "CNT");
    std::size_t index = 99;
    ASSERT_TRUE(snapshot.findSection("LINE01", index));
    EXPECT_EQ(index, 0u);
    ASSERT_TRUE(snapshot.getSection("Line01").findKey("mode", index));
    EXPECT_EQ(index, 1u);
}

TEST_F(Lookups, ExactLengthAndBytesOutsideAsciiAreNotFolded)
{
    const C_CfgFileSection& line = snapshot.getSection("Line01");
    std::size_t index;
    EXPECT_FALSE(line.findKey("Mod", index));
    EXPECT_FALSE(line.findKey("Mode ", index));
    EXPECT_FALSE(line.findKey("Speed", index));  // stored as "  Speed"
    EXPECT_TRUE(line.findKey("  speed", index));
    EXPECT_TRUE(line.findKey("\xE4", index));
    EXPECT_FALSE(line.findKey("\xC4", index));  // upper-case a-umlaut in Latin-1
    EXPECT_EQ(snapshot.findSection("Line1"), nullptr);
}

TEST_F(Lookups, VerbatimLinesNeverMatch)
{
    std::size_t index;
    EXPECT_FALSE(snapshot.getSection("Line01").findKey("; Mode", index));
    EXPECT_FALSE(snapshot.getSection("Line02").findKey("", index));
}

TEST_F(Lookups, MissingKeyAndSection)
{
    const C_CfgFileSection& line = snapshot.getSection("Line02");
    try {
        line.getValue("Volume");
        FAIL();
    } catch (const Configuration::KeyNotFoundError& e) {
        EXPECT_STREQ(e.what(), "Key not found: Volume");
    }
    EXPECT_EQ(line.getValueOr("Volume", "5"), "5");
    EXPECT_EQ(line.getValueOr("mode", "5"), "ALW");

    try {
        snapshot.getSection("Line07");
        FAIL();
    } catch (const Configuration::SectionNotFoundError& e) {
        EXPECT_STREQ(e.what(), "Section not found: Line07");
    }
    const C_CfgFileSnapshot& constant = snapshot;
    EXPECT_THROW(constant.getSection("Line07"), Configuration::SectionNotFoundError);
    EXPECT_EQ(constant.findSection("Line07"), nullptr);
    EXPECT_EQ(constant.findSection("line02"), &constant.sections()[2]);
    EXPECT_EQ(snapshot.sections().size(), 3u);
}

TEST_F(Lookups, TryGetValueAssignsOnlyWhenFound)
{
    const C_CfgFileSection& line = snapshot.getSection("Line01");
    std::string value = "untouched";
    std::size_t index = 42;
    EXPECT_FALSE(line.tryGetValue("Volume", value, index));
    EXPECT_FALSE(line.tryGetValue("Volume", value));
    EXPECT_EQ(value, "untouched");
    EXPECT_EQ(index, 42u);
    EXPECT_TRUE(line.tryGetValue("MODE", value, index));
    EXPECT_EQ(value, "CNT");
    EXPECT_EQ(index, 1u);
}

TEST_F(Lookups, ValueStatus)
{
    const C_CfgFileSection& line = snapshot.getSection("Line02");
    const char* value = "not null";
    EXPECT_EQ(line.getValueStatus("Volume", value), 0xC0020015u);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(line.getValueStatus("mode", value), 0x00010000u);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "ALW");
    EXPECT_EQ(value, line.entries()[0].value.c_str());
}

TEST(Editing, SetValueReplacesOnlyTheValueOfTheFirstMatch)
{
    C_CfgFileSnapshot snapshot = parse("[Line01]\nMODE = CNT\nMode=VOX\n");
    snapshot.getSection("line01").setValue("mode", "ALW");
    EXPECT_EQ(render(snapshot), "[Line01]\r\nMODE=ALW\r\nMode=VOX\r\n");
}

TEST(Editing, NewKeyGoesAfterTrailingBlankAndCommentLines)
{
    C_CfgFileSnapshot snapshot = parse("[Line01]\nSpeed=1\n\n; end\n\n[Line02]\nMode=ALW\n");
    snapshot.getSection("Line01").setValue("Mode", "CNT");
    EXPECT_EQ(render(snapshot), "[Line01]\r\nSpeed=1\r\n\r\n; end\r\n\r\nMode=CNT\r\n[Line02]\r\nMode=ALW\r\n");
}

TEST(Editing, MissingSectionIsAppendedWhenAskedFor)
{
    C_CfgFileSnapshot snapshot = parse("; before\n[Line01]\nMode=CNT\n\n");
    C_CfgFileSection& created = snapshot.getSection("Line07", true);
    created.setValue("Mode", "CNT");
    EXPECT_EQ(render(snapshot), "; before\n[Line01]\r\nMode=CNT\r\n\r\n[Line07]\r\nMode=CNT\r\n");

    C_CfgFileSection* found = nullptr;
    snapshot.getOrAddSection("LINE07", found);
    EXPECT_EQ(found, &snapshot.sections()[1]);
    snapshot.getOrAddSection("Line08", found);
    ASSERT_EQ(snapshot.sections().size(), 3u);
    EXPECT_EQ(found, &snapshot.sections()[2]);
    EXPECT_EQ(found->name(), "Line08");
}

struct FirstSectionCase {
    const char* name;
    std::string text;
    std::string rendered;  // after a section was added
};

class FirstSectionAdded : public ::testing::TestWithParam<FirstSectionCase> {};

// A section added to a text without one comes on a line of its own after
// the leading text, which stays as it was.
TEST_P(FirstSectionAdded, FollowsTheLeadingTextOnALineOfItsOwn)
{
    C_CfgFileSnapshot snapshot = parse(GetParam().text);
    snapshot.getSection("Line01", true).setValue("Mode", "CNT");
    EXPECT_EQ(render(snapshot), GetParam().rendered);
    EXPECT_EQ(parse(render(snapshot)).sections(), snapshot.sections());
}

INSTANTIATE_TEST_SUITE_P(
    Table, FirstSectionAdded,
    ::testing::Values(FirstSectionCase{"Empty", "", "[Line01]\r\nMode=CNT\r\n"},
                      FirstSectionCase{"LastLineWithoutBreak", "; c", "; c\r\n[Line01]\r\nMode=CNT\r\n"},
                      FirstSectionCase{"LastLineWithLf", "; c\n", "; c\n[Line01]\r\nMode=CNT\r\n"},
                      FirstSectionCase{"LastLineWithCr", "; c\r", "; c\r[Line01]\r\nMode=CNT\r\n"},
                      FirstSectionCase{"ByteOrderMarkAlone", "\xEF\xBB\xBF", "\xEF\xBB\xBF[Line01]\r\nMode=CNT\r\n"},
                      FirstSectionCase{"ByteOrderMarkAndText", "\xEF\xBB\xBFx",
                                       "\xEF\xBB\xBFx\r\n[Line01]\r\nMode=CNT\r\n"}),
    [](const ::testing::TestParamInfo<FirstSectionCase>& info) { return std::string(info.param.name); });

TEST(Editing, AddAndRemoveSections)
{
    C_CfgFileSnapshot snapshot = parse("[A]\nk=1\n[B]\n[a]\nk=2\n");
    std::size_t index = 0;
    snapshot.addSection("A", index);
    EXPECT_EQ(index, 3u);
    EXPECT_TRUE(snapshot.removeSection("a"));
    EXPECT_EQ(describe(snapshot), "[B][a]<k>=<2>|[A]");
    EXPECT_TRUE(snapshot.removeSection("A"));
    EXPECT_TRUE(snapshot.removeSection("A"));
    EXPECT_FALSE(snapshot.removeSection("A"));
    EXPECT_EQ(describe(snapshot), "[B]");
}

TEST(Editing, RemoveKeyTakesTheFirstKeyValueEntry)
{
    C_CfgFileSnapshot snapshot = parse("[A]\n;k=0\nk=1\nK=2\n");
    C_CfgFileSection& section = snapshot.getSection("A");
    EXPECT_TRUE(section.removeKey("k"));
    EXPECT_EQ(describe(snapshot), "[A]\";k=0\"|<K>=<2>|");
    EXPECT_TRUE(section.removeKey("k"));
    EXPECT_FALSE(section.removeKey("k"));
    EXPECT_EQ(describe(snapshot), "[A]\";k=0\"|");
}

TEST(Editing, AppendEntryAndParseAndInsert)
{
    C_CfgFileSection section("S");
    section.appendEntry(C_CfgFileEntry{"; made", "", false});
    section.ParseAndInsertKeyValue("k = v ");
    EXPECT_THROW(section.ParseAndInsertKeyValue("junk"), Configuration::SyntaxError);
    ASSERT_EQ(section.entries().size(), 2u);
    EXPECT_EQ(section.entries()[1], (C_CfgFileEntry{"k", " v", true}));
}

// A mode or key with a line break would be rendered as extra lines, and a
// "[...]" after the break as a section of its own.
TEST(Editing, LineBreaksInStoredTextAreRefused)
{
    const std::string original = "[Line01]\r\nMode=CNT\r\n";
    for (const std::string forged : {"ALW\r\n[Line02]\r\nMode=OFF", "x\ny", "x\ry", "\n", "\r", "CNT\r\n"}) {
        C_CfgFileSnapshot snapshot = parse(original);
        C_CfgFileSection& section = snapshot.getSection("Line01");
        EXPECT_THROW(section.setValue("Mode", forged), Configuration::Exception);
        EXPECT_THROW(section.setValue(forged, "CNT"), Configuration::Exception);
        EXPECT_THROW(section.appendEntry(C_CfgFileEntry{forged, "", false}), Configuration::Exception);
        EXPECT_THROW(section.appendEntry(C_CfgFileEntry{"Mode", forged, true}), Configuration::Exception);
        std::size_t index;
        EXPECT_THROW(snapshot.addSection(forged, index), Configuration::Exception);
        EXPECT_THROW(snapshot.getSection(forged, true), Configuration::Exception);
        EXPECT_EQ(render(snapshot), original);
    }
}

TEST(Streams, ReadRewindsAndLeavesTheStreamWritable)
{
    std::stringstream stream("[A]\nk=v\n");
    std::string skipped;
    std::getline(stream, skipped);
    stream.seekg(0, std::ios::end);
    stream.get();  // sets end-of-file
    C_CfgFileSnapshot snapshot;
    snapshot.readFrom(stream);
    EXPECT_EQ(describe(snapshot), "[A]<k>=<v>|");
    EXPECT_TRUE(stream.good());
    stream.seekp(0);
    snapshot.writeTo(stream);
    EXPECT_EQ(stream.str(), "[A]\r\nk=v\r\n");
}

// Fails (by exception, or by refusing bytes) after `limit` bytes of either
// direction, as a file stream does when the disk or the network goes away.
class FailingBuffer : public std::streambuf {
public:
    FailingBuffer(std::string text, std::size_t limit, bool throws)
        : text(std::move(text)), limit(limit), throws(throws)
    {
    }
    std::string written;

protected:
    int_type underflow() override
    {
        if (nextRead >= text.size())
            return traits_type::eof();
        if (nextRead >= limit)
            return fail();
        current = text[nextRead++];
        setg(&current, &current, &current + 1);
        return traits_type::to_int_type(current);
    }
    int_type overflow(int_type c) override
    {
        if (written.size() >= limit)
            return fail();
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            written += traits_type::to_char_type(c);
        return traits_type::not_eof(c);
    }
    pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode) override
    {
        return seekpos(dir == std::ios::beg ? off : -1, std::ios::in);
    }
    pos_type seekpos(pos_type pos, std::ios::openmode) override
    {
        if (pos != pos_type(0))
            return pos_type(off_type(-1));
        nextRead = 0;
        setg(nullptr, nullptr, nullptr);
        return pos;
    }

private:
    int_type fail()
    {
        if (throws)
            throw std::runtime_error("device failed");
        return traits_type::eof();
    }
    std::string text;
    std::size_t limit;
    bool throws;
    std::size_t nextRead = 0;
    char current = 0;
};

TEST(Streams, ReadErrorPassesThroughAndKeepsTheOldSections)
{
    C_CfgFileSnapshot snapshot = parse("[Old]\n");
    FailingBuffer buffer("[A]\nk=v\n[B]\nk=v\n", 6, true);
    std::istream in(&buffer);
    EXPECT_THROW(snapshot.readFrom(in), std::runtime_error);
    EXPECT_EQ(describe(snapshot), "[Old]");
}

class NotSeekable : public std::stringbuf {
public:
    using std::stringbuf::stringbuf;

protected:
    pos_type seekoff(off_type, std::ios::seekdir, std::ios::openmode) override { return pos_type(off_type(-1)); }
    pos_type seekpos(pos_type, std::ios::openmode) override { return pos_type(off_type(-1)); }
};

TEST(Streams, StreamThatCannotRewindIsAnError)
{
    C_CfgFileSnapshot snapshot = parse("[Old]\n");
    NotSeekable buffer("[A]\nk=v\n");
    std::istream in(&buffer);
    in.get();  // a partial text would otherwise be taken for the whole
    EXPECT_THROW(snapshot.readFrom(in), std::ios_base::failure);
    EXPECT_EQ(describe(snapshot), "[Old]");
}

TEST(Streams, WriteErrorsAreNotSwallowed)
{
    const C_CfgFileSnapshot snapshot = parse("[A]\nk=v\n[B]\n");
    {
        FailingBuffer buffer("", 4, true);
        std::ostream out(&buffer);
        out.exceptions(std::ios::badbit);
        EXPECT_THROW(snapshot.writeTo(out), std::runtime_error);
    }
    for (const bool throws : {true, false}) {
        FailingBuffer buffer("", 4, throws);
        std::ostream out(&buffer);
        EXPECT_THROW(snapshot.writeTo(out), std::ios_base::failure);
        EXPECT_EQ(buffer.written, "[A]\r");
    }
}

}  // namespace

namespace {

// Sections and key/value lines only: what a reader of the values sees.
std::string values(const C_CfgFileSnapshot& snapshot)
{
    std::string out;
    for (const auto& section : snapshot.sections()) {
        out += "[" + section.name() + "]";
        for (const auto& entry : section.entries())
            if (entry.isKeyValue)
                out += "<" + entry.key + ">=<" + entry.value + ">|";
    }
    return out;
}

struct PaddingCase {
    const char* name;
    std::string text;
    std::size_t length;
};

class BlankLinePadding : public ::testing::TestWithParam<PaddingCase> {};

// The text written over a longer old one before the file is cut: whatever
// the text's last line end, the padding reads as blank lines only.
TEST_P(BlankLinePadding, ReadsAsTheTextItself)
{
    const PaddingCase& c = GetParam();
    const std::string padded = withBlankLinesTo(c.text, c.length);
    ASSERT_EQ(padded.size(), std::max(c.length, c.text.size()));
    EXPECT_EQ(padded.compare(0, c.text.size(), c.text), 0);
    EXPECT_EQ(padded.find_first_not_of("\r\n", c.text.size()), std::string::npos);
    EXPECT_EQ(values(parse(padded)), values(parse(c.text)));
}

INSTANTIATE_TEST_SUITE_P(Table, BlankLinePadding,
                         ::testing::Values(PaddingCase{"EvenPadAfterCrLf", "[Line01]\r\nMode=CNT\r\n", 40},
                                           PaddingCase{"OddPadAfterCrLf", "[Line01]\r\nMode=CNT\r\n", 41},
                                           PaddingCase{"OneByte", "[Line01]\r\nMode=CNT\r\n", 21},
                                           PaddingCase{"NoLastLineEnd", "[Line01]\r\nMode=CNT", 31},
                                           PaddingCase{"CrOnlyLineEnds", "[Line01]\rMode=CNT\r", 27},
                                           PaddingCase{"LfOnlyLineEnds", "[Line01]\nMode=CNT\n", 25},
                                           PaddingCase{"EmptyText", "", 7},
                                           PaddingCase{"AlreadyLongEnough", "[Line01]\r\nMode=CNT\r\n", 3}),
                         [](const ::testing::TestParamInfo<PaddingCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
