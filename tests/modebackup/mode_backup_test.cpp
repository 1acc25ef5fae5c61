// The backup of line modes against the real logger.ini and backup file.

#include "Ostrel/Service/ModeBackup.h"

#include <boost/property_tree/xml_parser.hpp>
#include <boost/thread.hpp>

#include "support/FileHolder.h"
#include "support/LoggerIniFixture.h"

using namespace Ostrel;
using testing::HasSubstr;
using testing::Not;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// The declaration line as the XML writer forms it; the file is written in
// text mode, so on Windows its line feed is stored as CR LF.
const std::string declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

std::string record(const std::string& section, const std::string& current, const std::string& saved)
{
    auto element = [](const std::string& name, const std::string& text) {
        return text.empty() ? "<" + name + "/>" : "<" + name + ">" + text + "</" + name + ">";
    };
    return "<" + section + ">" + element("current_mode", current) + element("saved_mode", saved) + "</" + section + ">";
}

class ModeBackupTest : public LoggerIniFixture {
protected:
    void SetUp() override
    {
        LoggerIniFixture::SetUp();
        setIni("[Line03]\r\nMode=M1\r\n[Line07]\r\nMode=M2\r\n[Line12]\r\nMode=\r\n");
    }
    std::string mode(int line) { return getLineModeFromLoggerINI(line, "<none>"); }

    ModeBackup backupObject{iniPath};
};

TEST_F(ModeBackupTest, SetRecordsThePreviousModeBeforeWriting)
{
    backupObject.setLineMode(3, "CNT");
    EXPECT_EQ(mode(3), "CNT");
    EXPECT_EQ(backup(), declaration + record("Line03", "CNT", "M1"));
    backupObject.setLineMode(7, "CNT");
    EXPECT_EQ(backup(), declaration + record("Line03", "CNT", "M1") + record("Line07", "CNT", "M2"));
}

TEST_F(ModeBackupTest, ASecondSetKeepsTheFirstSavedModeUnlessTheUserChangedTheLine)
{
    backupObject.setLineMode(3, "CNT");
    backupObject.setLineMode(3, "M2");  // logger.ini still shows CNT
    EXPECT_EQ(backup(), declaration + record("Line03", "M2", "M1"));
    setLineModeInLoggerINI(3, "M3");  // the user's own change
    backupObject.setLineMode(3, "CNT");
    EXPECT_EQ(backup(), declaration + record("Line03", "CNT", "M3"));
}

TEST_F(ModeBackupTest, RestoreWritesTheSavedModeOnlyWhileTheServicesModeIsShown)
{
    backupObject.setLineMode(3, "CNT");
    backupObject.setLineMode(7, "CNT");
    setLineModeInLoggerINI(7, "USER");
    backupObject.restoreLine(3);
    backupObject.restoreLine(7);
    EXPECT_EQ(mode(3), "M1");
    EXPECT_EQ(mode(7), "USER");
    EXPECT_EQ(backup(), declaration);
}

TEST_F(ModeBackupTest, RestoringAnUnrecordedLineTouchesNothing)
{
    backupObject.setLineMode(3, "CNT");
    const std::string iniBefore = ini(), backupBefore = backup();
    backupObject.restoreLine(7);
    EXPECT_EQ(ini(), iniBefore);
    EXPECT_EQ(backup(), backupBefore);
}

TEST_F(ModeBackupTest, AnEmptyModeIsRecordedAndPutBack)
{
    backupObject.setLineMode(12, "CNT");
    EXPECT_EQ(backup(), declaration + record("Line12", "CNT", ""));
    backupObject.restoreLine(12);
    EXPECT_EQ(mode(12), "");
}

TEST_F(ModeBackupTest, AModeWithTrailingBlanksIsRecordedAsLoggerIniShowsIt)
{
    backupObject.setLineMode(3, "CNT \t");
    EXPECT_EQ(mode(3), "CNT");
    EXPECT_EQ(backup(), declaration + record("Line03", "CNT", "M1"));
    backupObject.restoreLine(3);
    EXPECT_EQ(mode(3), "M1");
}

TEST_F(ModeBackupTest, XmlSpecialCharactersSurviveTheRoundTrip)
{
    setLineModeInLoggerINI(3, "a<b>&\"c'");
    backupObject.setLineMode(3, "CNT");
    ModeBackup reloaded(iniPath);
    reloaded.load();
    reloaded.restoreAllLines();
    EXPECT_EQ(mode(3), "a<b>&\"c'");
}

TEST_F(ModeBackupTest, AMissingSectionIsRecordedWithAnEmptySavedModeAndDropped)
{
    CaptureStdout();
    backupObject.setLineMode(9, "CNT");
    std::string out = GetCapturedStdout();
    EXPECT_EQ(backup(), declaration + record("Line09", "CNT", ""));
    EXPECT_THAT(out, HasSubstr("getLineModeFromLoggerINI] : Can't find section Line09"));
    EXPECT_THAT(out, HasSubstr("setLineModeInLoggerINI] : Can't find section Line09"));
    const std::string iniBefore = ini();
    CaptureStdout();
    backupObject.restoreLine(9);
    out = GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("Can't find section Line09"));
    EXPECT_EQ(ini(), iniBefore);
    EXPECT_EQ(backup(), declaration);
}

TEST_F(ModeBackupTest, OurFileIsByteIdenticalToTheWritersOwnFileForm)
{
    backupObject.setLineMode(3, "CNT");
    backupObject.setLineMode(12, "X&Y");
    boost::property_tree::ptree tree;
    tree.put("Line03.current_mode", "CNT");
    tree.put("Line03.saved_mode", "M1");
    tree.put("Line12.current_mode", "X&Y");
    tree.put("Line12.saved_mode", "");
    const std::string reference = backupPath + ".reference";
    boost::property_tree::write_xml(reference, tree, std::locale(),
                                    boost::property_tree::xml_writer_make_settings<std::string>(' ', 0, "utf-8"));
    EXPECT_EQ(backup(), readFileBytes(reference));
    DeleteFileA(reference.c_str());
}

// What a start finds after a run that ended without reverting.
struct StartCase {
    const char* name;
    std::string iniFile;
    std::string backupFile;  // empty: no backup file
    std::string expectedIni;
    std::string expectedBackup;
    std::vector<std::string> messages;  // none: nothing may be logged
};

TEST_F(ModeBackupTest, StartUpRepair)
{
    const std::string toggled = "[Line03]\r\nMode=CNT\r\n[Line07]\r\nMode=CNT\r\n";
    const std::string original = "[Line03]\r\nMode=M1\r\n[Line07]\r\nMode=M2\r\n";
    const std::string both = record("Line03", "CNT", "M1") + record("Line07", "CNT", "M2");
    const std::string handEdited = "<Foo><saved_mode>X</saved_mode></Foo>"
                                   "<Line3><current_mode>CNT</current_mode><saved_mode>Z</saved_mode></Line3>"
                                   "<Line03><current_mode>CNT</current_mode></Line03>";
    const std::vector<StartCase> cases = {
        {"toggled lines are reverted", toggled, declaration + both, original, declaration,
         {"INFO: [Ostrel::ModeBackup::restoreAllLines] : Reverting Line03, Line07"}},
        {"a file written with plain line feeds", toggled, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + both,
         original, declaration, {"Reverting Line03, Line07"}},
        // A crash after the record was written and before logger.ini was:
        // logger.ini does not show the recorded mode, so it is left alone.
        {"a record whose change never reached logger.ini", original, declaration + record("Line03", "CNT", "M0"),
         original, declaration, {"Reverting Line03"}},
        // A crash while a line the service had switched to CNT was being
        // switched on to ALW: logger.ini still shows the service's CNT.
        {"a record left while a switched line was switched again", "[Line03]\r\nMode=CNT\r\n[Line07]\r\nMode=M2\r\n",
         declaration + "<Line03><current_mode>ALW</current_mode><saved_mode>M1</saved_mode>"
             "<replaced_mode>CNT</replaced_mode></Line03>",
         original, declaration, {"Reverting Line03"}},
        {"a declaration only", original, declaration, original, declaration, {}},
        {"no file", original, "", original, "",
         {"INFO: [Ostrel::ModeBackup::load] : Backup file not found, nothing to revert"}},
        {"hand-edited records are reported and kept", "[Line03]\r\nMode=CNT\r\n[Line07]\r\nMode=CNT\r\n",
         declaration + "<Foo><saved_mode>X</saved_mode></Foo>" + record("Line07", "CNT", "M2")
             + "<Line3><current_mode>CNT</current_mode><saved_mode>Z</saved_mode></Line3>"
             + "<Line03><current_mode>CNT</current_mode></Line03>",
         "[Line03]\r\nMode=CNT\r\n[Line07]\r\nMode=M2\r\n", declaration + handEdited,
         {"Reverting Foo, Line07, Line3, Line03", "ERROR: [Ostrel::ModeBackup::restoreAllLines] : Backup record Foo",
          "Backup record Line3", "Backup record Line03"}},
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.name);
        setIni(c.iniFile);
        DeleteFileA(backupPath.c_str());
        if (!c.backupFile.empty())
            setBackup(c.backupFile);
        ModeBackup start(iniPath);
        CaptureStdout();
        start.load();
        start.restoreAllLines();
        const std::string out = GetCapturedStdout();
        EXPECT_EQ(ini(), c.expectedIni);
        if (c.expectedBackup.empty()) {
            EXPECT_FALSE(fileExists(backupPath));
        } else {
            EXPECT_EQ(backup(), c.expectedBackup);
        }
        for (const std::string& m : c.messages)
            EXPECT_THAT(out, HasSubstr(m));
        if (c.messages.empty()) {
            EXPECT_EQ(out, "");
        }
    }
}

TEST_F(ModeBackupTest, ADamagedFileIsKeptAsideAndReported)
{
    const std::string truncated = declaration + "<Line03><current_mode>CNT</current_mode><saved_mo";
    setBackup(truncated);
    setLineModeInLoggerINI(3, "CNT");
    CaptureStdout();
    backupObject.load();
    backupObject.restoreAllLines();
    const std::string out = GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("ERROR: [Ostrel::ModeBackup::load] : Backup file damaged"));
    EXPECT_EQ(readFileBytes(backupPath + ".damaged"), truncated);
    EXPECT_EQ(mode(3), "CNT");
    backupObject.setLineMode(7, "CNT");  // the service goes on working
    EXPECT_EQ(backup(), declaration + record("Line07", "CNT", "M2"));
}

TEST_F(ModeBackupTest, ASaveWaitsForAnotherProcessReadingTheBackup)
{
    backupObject.setLineMode(3, "CNT");
    FileHolder reader;
    reader.require("deny " + backupPath);
    boost::thread release([&] {
        boost::this_thread::sleep_for(boost::chrono::milliseconds(300));
        reader.require("close");
    });
    CaptureStdout();
    backupObject.setLineMode(7, "CNT");
    const std::string out = GetCapturedStdout();
    release.join();
    EXPECT_THAT(out, Not(HasSubstr("ERROR")));
    EXPECT_EQ(backup(), declaration + record("Line03", "CNT", "M1") + record("Line07", "CNT", "M2"));
}

TEST_F(ModeBackupTest, AFailedSaveIsReportedAndLeavesTheOldFileWhole)
{
    backupObject.setLineMode(3, "CNT");
    const std::string before = backup();
    ASSERT_TRUE(CreateDirectoryA((backupPath + ".tmp").c_str(), nullptr));  // blocks the temporary file
    CaptureStdout();
    backupObject.setLineMode(7, "CNT");
    const std::string out = GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("ERROR: [Ostrel::ModeBackup::saveLocked] : Can't update backup, logger.ini could be "
                               "corrupted if the service is terminated"));
    EXPECT_EQ(backup(), before);
    EXPECT_EQ(mode(7), "CNT");
    RemoveDirectoryA((backupPath + ".tmp").c_str());
    backupObject.restoreLine(7);  // the record in memory still reverts it
    EXPECT_EQ(mode(7), "M2");
    EXPECT_EQ(backup(), declaration + record("Line03", "CNT", "M1"));
}

TEST_F(ModeBackupTest, ConcurrentTogglesLoseNoMode)
{
    std::string text;
    for (int line = 1; line <= 8; ++line)
        text += "[" + lineSectionName(line) + "]\r\nMode=ORIG" + std::to_string(line) + "\r\n";
    setIni(text);
    // Pairs of threads share a line, so their calls interleave on one record.
    boost::thread_group threads;
    for (int t = 0; t < 8; ++t)
        threads.create_thread([this, t] {
            const int line = t / 2 + 1, own = t + 1;
            for (int round = 0; round < 5; ++round) {
                backupObject.setLineMode(own, "T" + std::to_string(t));
                backupObject.setLineMode(line, "S" + std::to_string(t));
                backupObject.restoreLine(line);
                backupObject.restoreLine(own);
            }
        });
    threads.join_all();
    for (int line = 1; line <= 8; ++line)
        EXPECT_EQ(mode(line), "ORIG" + std::to_string(line)) << line;
    EXPECT_EQ(backup(), declaration);
}

}  // namespace
