// Reading and writing one line's mode in the real logger.ini of the Windows
// directory.

#include "Ostrel/modebackup/ModeBackup.h"

#include <functional>
#include <stdexcept>
#include <vector>

#include <boost/system/system_error.hpp>

#include "support/LoggerIniFixture.h"
#include "utillib_configfile/CfgFileSnapshot.h"

using namespace Ostrel;
using testing::HasSubstr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class LoggerIniTest : public LoggerIniFixture {};

TEST(LoggerIniPaths, WindowsDirectoryAndFileNames)
{
    const std::string dir = windowsDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '\\');
    char raw[MAX_PATH];
    const UINT n = GetWindowsDirectoryA(raw, MAX_PATH);
    EXPECT_EQ(dir, std::string(raw, n) + (raw[n - 1] == '\\' ? "" : "\\"));
    EXPECT_EQ(loggerConfigFilePath(LoggerIni), dir + "logger.ini");
    EXPECT_EQ(loggerConfigFilePath(LoggerRes), dir + "logger.res");
    EXPECT_EQ(loggerConfigFilePath(LoggerInf), dir + "logger.inf");
    EXPECT_EQ(loggerConfigFilePath(RadioIni), dir + "radio.ini");
    const LoggerFiles files = loggerFilesInWindowsDirectory();
    EXPECT_EQ(files.iniPath, dir + "logger.ini");
    EXPECT_EQ(files.backupPath, dir + "brevik_ostrel_saved_modes.bak");
    try {
        loggerConfigFilePath(static_cast<LoggerConfigFile>(4));
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid enum value for LoggerConfigFile");
    }
}

TEST(LoggerIniPaths, LineSectionNames)
{
    const struct {
        int line;
        const char* name;
    } cases[] = {
        {3, "Line03"},
        {5, "Line05"},
        {12, "Line12"},
        {100, "Line100"},
        {0, "Line00"},
        {-2, "Line-2"},
        {9, "Line09"},
        {-12, "Line-12"},
        {2147483647, "Line2147483647"},
        {-2147483647 - 1, "Line-2147483648"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lineSectionName(c.line), c.name);
}

TEST(LoggerIniPaths, ModeAsStoredDropsTrailingBlanksAndTabsOnly)
{
    EXPECT_EQ(modeAsStored("CNT"), "CNT");
    EXPECT_EQ(modeAsStored("CNT \t "), "CNT");
    EXPECT_EQ(modeAsStored(" CNT"), " CNT");
    EXPECT_EQ(modeAsStored(" \t"), "");
    EXPECT_EQ(modeAsStored(""), "");
}

const char* const sample =
    "; logging application\n"
    "[General]\n"
    "Name = Studio   \n"
    "[Line05]\n"
    "Mode=CNT\n"
    "Gain=3\n"
    "\n"
    "[Line100]\n"
    "Mode = REC\n"
    "[Line07]\n"
    "Gain=1\n";

TEST_F(LoggerIniTest, AReadReturnsTheModeAndChangesNoByte)
{
    setIni(sample);
    EXPECT_EQ(getLineModeFromLoggerINI(5, "def", iniPath), "CNT");
    EXPECT_EQ(getLineModeFromLoggerINI(100, "def", iniPath), " REC");  // the grammar keeps the blank after "="
    EXPECT_EQ(ini(), sample);
}

TEST_F(LoggerIniTest, ASectionWithoutModeThrowsOnReadAndGainsItOnWrite)
{
    setIni(sample);
    EXPECT_THROW(getLineModeFromLoggerINI(7, "def", iniPath), Configuration::KeyNotFoundError);
    setLineModeInLoggerINI(7, "M1", iniPath);
    EXPECT_EQ(getLineModeFromLoggerINI(7, "def", iniPath), "M1");
    EXPECT_EQ(ini(),
              "; logging application\n"
              "[General]\r\nName= Studio\r\n"
              "[Line05]\r\nMode=CNT\r\nGain=3\r\n\r\n"
              "[Line100]\r\nMode= REC\r\n"
              "[Line07]\r\nGain=1\r\nMode=M1\r\n");
}

TEST_F(LoggerIniTest, AWriteReplacesTheModeInPlace)
{
    setIni(sample);
    setLineModeInLoggerINI(5, "OFF", iniPath);
    EXPECT_EQ(getLineModeFromLoggerINI(5, "def", iniPath), "OFF");
    EXPECT_THAT(ini(), HasSubstr("[Line05]\r\nMode=OFF\r\nGain=3\r\n"));
}

TEST_F(LoggerIniTest, AMissingSectionIsReportedAndNotAdded)
{
    setIni(sample);
    CaptureStdout();
    EXPECT_EQ(getLineModeFromLoggerINI(9, "def", iniPath), "def");
    setLineModeInLoggerINI(9, "CNT", iniPath);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(ini(), sample);
    const std::string message =
        "ERROR: [Ostrel::getLineModeFromLoggerINI] : Can't find section Line09. Can't set mode for line 9";
    EXPECT_THAT(out, HasSubstr(message));
    EXPECT_THAT(
        out,
        HasSubstr("ERROR: [Ostrel::setLineModeInLoggerINI] : Can't find section Line09. Can't set mode for line 9"));
}

// A logger.ini the service made empty would hold none of the sections the
// logging application and the backup's records need.
TEST_F(LoggerIniTest, AMissingFileIsNeitherCreatedNorWritten)
{
    ASSERT_FALSE(fileExists(iniPath));
    const std::vector<std::function<void()>> accesses = {
        [this] { getLineModeFromLoggerINI(1, "def", iniPath); },
        [this] { setLineModeInLoggerINI(1, "CNT", iniPath); },
        [this] { revertLineInLoggerINI(1, "M1", {"CNT"}, iniPath); },
    };
    for (const auto& access : accesses) {
        try {
            access();
            ADD_FAILURE() << "no failure";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code().value(), ERROR_FILE_NOT_FOUND);
        }
        EXPECT_FALSE(fileExists(iniPath));
    }
}

// A logger.ini as the logging application or an editor leaves it, with
// something before its first section.
struct LeadingTextCase {
    const char* name;
    std::string text;
    std::string reverted;  // the file after a toggle of line 1 and its revert
};

class LeadingText : public LoggerIniFixture, public ::testing::WithParamInterface<LeadingTextCase> {};

// What stands before the first section belongs to the logging application:
// a toggle and its revert keep it byte for byte, and a file in the form the
// service writes comes back byte-identical.
TEST_P(LeadingText, StaysByteForByteThroughAToggleAndItsRevert)
{
    const LeadingTextCase& c = GetParam();
    setIni(c.text);
    const std::string leading = c.text.substr(0, c.text.find("[Line01]"));
    ModeBackup modes(files());
    modes.setLineMode(1, "CNT");
    EXPECT_EQ(ini().compare(0, leading.size(), leading), 0) << ini();
    EXPECT_EQ(getLineModeFromLoggerINI(1, "<none>", iniPath), "CNT");
    EXPECT_EQ(getLineModeFromLoggerINI(2, "<none>", iniPath), "VOX");
    modes.restoreLine(1);
    EXPECT_EQ(ini(), c.reverted);
}

const std::string twoLines = "[Line01]\r\nName=Studio A\r\nMode=REC\r\n\r\n[Line02]\r\nMode=VOX\r\n";
const std::string byteOrderMark = "\xEF\xBB\xBF";

LeadingTextCase unchanged(const char* name, const std::string& text)
{
    return LeadingTextCase{name, text, text};
}

INSTANTIATE_TEST_SUITE_P(
    Files, LeadingText,
    ::testing::Values(
        unchanged("ByteOrderMark", byteOrderMark + twoLines),
        unchanged("Comments", "; Logger configuration\r\n# do not edit while recording\r\n" + twoLines),
        unchanged("BlankLines", "\r\n\r\n" + twoLines),
        unchanged("StrayTextLine", "logger settings, version 4\r\n" + twoLines),
        unchanged("ByteOrderMarkCommentsAndBlankLines", byteOrderMark + "; Logger configuration\r\n\r\n" + twoLines),
        unchanged("LeadingLinesWithOtherLineBreaks", "; saved elsewhere\n\n; and here\r" + twoLines),
        // Sections in another form are written in the service's own; the
        // leading text is not.
        LeadingTextCase{"SectionsRewritten", byteOrderMark + "; top\n[Line01]\nMode = REC\n[Line02]\nMode=VOX",
                        byteOrderMark + "; top\n[Line01]\r\nMode= REC\r\n[Line02]\r\nMode=VOX\r\n"}),
    [](const ::testing::TestParamInfo<LeadingTextCase>& info) { return std::string(info.param.name); });

TEST_F(LoggerIniTest, AMalformedFileIsReportedAsASyntaxErrorAndLeftAlone)
{
    const std::string broken = "[Line01]\nMode=CNT\n[Line02\nMode=REC\n";
    setIni(broken);
    EXPECT_THROW(getLineModeFromLoggerINI(1, "def", iniPath), Configuration::SyntaxError);
    EXPECT_THROW(setLineModeInLoggerINI(1, "OFF", iniPath), Configuration::SyntaxError);
    EXPECT_EQ(ini(), broken);
    // Nothing stays locked: the file can be fixed and used at once.
    setIni(sample);
    EXPECT_EQ(getLineModeFromLoggerINI(5, "def", iniPath), "CNT");
}

}  // namespace
