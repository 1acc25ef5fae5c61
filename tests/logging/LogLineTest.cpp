#include "logging/LogLine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string consoleLine(unsigned level, const SourceLocation& where, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
std::string consoleLine(unsigned level, const SourceLocation& where, const char* format, ...)
{
    logging::LogLine line;
    va_list args;
    va_start(args, format);
    logging::composeConsoleLine(line, level, where, format, args);
    va_end(args);
    const char* text = line.terminate();
    EXPECT_EQ(std::strlen(text), line.length());
    return text;
}

std::string eventText(const SourceLocation& where, const char* format, ...) __attribute__((format(printf, 2, 3)));
std::string eventText(const SourceLocation& where, const char* format, ...)
{
    logging::LogLine line;
    va_list args;
    va_start(args, format);
    logging::composeEventText(line, where, format, args);
    va_end(args);
    return line.terminate();
}

const SourceLocation run{"Ostrel/engine/Service.cpp", 79, "void Ostrel::Service::run()"};

struct LevelCase {
    unsigned level;
    const char* name;
    logging::EventKind kind;
    std::uint32_t identifier;
};

class Levels : public ::testing::TestWithParam<LevelCase> {};

TEST_P(Levels, NameKindAndIdentifier)
{
    const LevelCase& c = GetParam();
    EXPECT_EQ(consoleLine(c.level, run, "Ostrel started"),
              std::string("Ostrel/engine/Service.cpp(79): ") + c.name + ": [Ostrel::Service::run] : Ostrel started\n");
    EXPECT_EQ(logging::eventKind(c.level), c.kind);
    EXPECT_EQ(logging::eventIdentifier(logging::eventKind(c.level)), c.identifier);
}

INSTANTIATE_TEST_SUITE_P(Table, Levels,
                         ::testing::Values(LevelCase{0, "ERROR", logging::EventKind::Error, 0xC0070003u},
                                           LevelCase{1, "WARN", logging::EventKind::Warning, 0x80070002u},
                                           LevelCase{2, "INFO", logging::EventKind::Information, 0x00070001u},
                                           LevelCase{3, "SPEC", logging::EventKind::Information, 0x00070001u},
                                           LevelCase{4, "CTRL", logging::EventKind::Information, 0x00070001u},
                                           LevelCase{5, "<unknown>", logging::EventKind::Information, 0x00070001u},
                                           LevelCase{7, "<unknown>", logging::EventKind::Information, 0x00070001u},
                                           LevelCase{0xFFFFFFFFu, "<unknown>", logging::EventKind::Information,
                                                     0x00070001u}));

TEST(ConsoleLine, FormatsTheCallersArguments)
{
    EXPECT_EQ(consoleLine(logging::Info, {"a.cpp", -3, "int f(int)"}, "Setting [%s] mode to %s", "Studio", "CNT"),
              "a.cpp(-3): INFO: [f] : Setting [Studio] mode to CNT\n");
}

// Callers pass their text as an argument; whatever it holds is printed as is.
TEST(ConsoleLine, ArgumentTextIsNeverAFormat)
{
    EXPECT_EQ(consoleLine(logging::Info, run, "Setting [%s] mode to %s", "%s%n%d", "100%"),
              "Ostrel/engine/Service.cpp(79): INFO: [Ostrel::Service::run] : Setting [%s%n%d] mode to 100%\n");
    EXPECT_EQ(eventText(run, "Reverting [%s]", "%n%n%s"), "[Ostrel::Service::run] Reverting [%n%n%s]");
}

TEST(ConsoleLine, LongMessageIsCutWithoutLineEnd)
{
    const std::string message(5000, 'x');
    const std::string line = consoleLine(logging::Info, run, "%s", message.c_str());
    const std::string prefix = "Ostrel/engine/Service.cpp(79): INFO: [Ostrel::Service::run] : ";
    ASSERT_EQ(line.size(), 4095u);
    EXPECT_EQ(line.substr(0, prefix.size()), prefix);
    EXPECT_EQ(line.substr(prefix.size()), std::string(4095 - prefix.size(), 'x'));
}

TEST(ConsoleLine, MessageThatJustFitsKeepsItsLineEnd)
{
    const std::string prefix = "Ostrel/engine/Service.cpp(79): INFO: [Ostrel::Service::run] : ";
    const std::string message(4094 - prefix.size(), 'y');
    const std::string line = consoleLine(logging::Info, run, "%s", message.c_str());
    EXPECT_EQ(line, prefix + message + "\n");
    EXPECT_EQ(consoleLine(logging::Info, run, "%sz", message.c_str()), prefix + message + "z");
}

TEST(ConsoleLine, LongFileAndSignatureAreCutToo)
{
    const std::string file(5000, 'f');
    const std::string signature = "void " + std::string(5000, 'n') + "()";
    EXPECT_EQ(consoleLine(logging::Info, {file.c_str(), 1, run.function}, "m"), std::string(4095, 'f'));
    const std::string line = consoleLine(logging::Info, {"a.cpp", 1, signature.c_str()}, "m");
    EXPECT_EQ(line, "a.cpp(1): INFO: [" + std::string(4095 - 17, 'n'));
}

TEST(EventText, HasNoFileLevelOrLineEnd)
{
    EXPECT_EQ(
        eventText({"x/y.cpp", 12, "void Ostrel::Service::toggleLines(std::shared_ptr<const Ostrel::LinesetSettings>)"},
                  "Setting [%s] mode to %s", "News", "ALW"),
        "[Ostrel::Service::toggleLines] Setting [News] mode to ALW");
    const std::string message(5000, 'e');
    EXPECT_EQ(eventText(run, "%s", message.c_str()).size(), 4095u);
}

TEST(FixedSizeStreambuf, KeepsTheLastByteForTheTerminator)
{
    char text[8];
    std::memset(text, '#', sizeof text);
    logging::fixed_size_streambuf buffer(text, sizeof text);
    std::ostream out(&buffer);
    out << "abc";
    EXPECT_TRUE(out.good());
    out << "defgh";
    EXPECT_TRUE(out.fail());
    out << "ignored";
    EXPECT_EQ(buffer.length(), 7u);
    EXPECT_STREQ(buffer.terminate(), "abcdefg");
}

}  // namespace
