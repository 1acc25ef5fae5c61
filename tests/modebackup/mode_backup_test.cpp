// The backup of line modes against the real logger.ini and backup file.

#include "Ostrel/modebackup/ModeBackup.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread.hpp>

#include <functional>

#include "support/BackupFileText.h"
#include "support/Eventually.h"
#include "support/FileHolder.h"
#include "support/InterruptedWait.h"
#include "support/LoggerIniFixture.h"
#include "support/Occurrences.h"
#include "support/SetPhaseHold.h"

using namespace Ostrel;
using namespace std::string_literals;
using testing::HasSubstr;
using testing::Not;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using backupfile::declaration;
using backupfile::record;

// Options whose failed reverts are tried again after `period`.
ModeBackupOptions retryAfter(boost::chrono::milliseconds period)
{
    ModeBackupOptions options;
    options.retryPeriod = period;
    return options;
}

class ModeBackupTest : public LoggerIniFixture {
protected:
    void SetUp() override
    {
        LoggerIniFixture::SetUp();
        setIni("[Line03]\r\nMode=M1\r\n[Line07]\r\nMode=M2\r\n[Line12]\r\nMode=\r\n");
    }
    std::string mode(int line) { return getLineModeFromLoggerINI(line, "<none>", iniPath); }

    ModeBackup backupObject{files(), patientSaves()};
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
    // The mode replaced stays in the file until its next save: a crash
    // before the write reached the disk may leave logger.ini showing it.
    EXPECT_EQ(backup(), declaration +
                            "<Line03><current_mode>M2</current_mode><saved_mode>M1</saved_mode>"
                            "<replaced_mode>CNT</replaced_mode></Line03>");
    setLineModeInLoggerINI(3, "M3", iniPath);  // the user's own change
    backupObject.setLineMode(3, "CNT");
    EXPECT_EQ(backup(), declaration + record("Line03", "CNT", "M3"));
}

TEST_F(ModeBackupTest, RestoreWritesTheSavedModeOnlyWhileTheServicesModeIsShown)
{
    backupObject.setLineMode(3, "CNT");
    backupObject.setLineMode(7, "CNT");
    setLineModeInLoggerINI(7, "USER", iniPath);
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

// Characters special to XML, and bytes XML cannot carry at all (escaped in
// the file), come back at the next start.
TEST_F(ModeBackupTest, EveryModeSurvivesARestart)
{
    for (const std::string& original : {"a<b>&\"c'"s, "A\0B"s, "\x01REC\x1F"s, "caf\xE9"s, "\xED\xA0\x80"s}) {
        SCOPED_TRACE(original);
        setLineModeInLoggerINI(3, original, iniPath);
        ModeBackup(files()).setLineMode(3, "CNT");
        CaptureStdout();
        ModeBackup reloaded(files());
        reloaded.load();
        reloaded.restoreAllLines();
        EXPECT_THAT(GetCapturedStdout(), Not(HasSubstr("ERROR")));
        EXPECT_EQ(mode(3), original);
        EXPECT_EQ(backup(), declaration);
    }
}

TEST_F(ModeBackupTest, AMissingSectionIsRecordedWithAnEmptySavedModeAndDropped)
{
    CaptureStdout();
    backupObject.setLineMode(9, "CNT");
    std::string out = GetCapturedStdout();
    EXPECT_EQ(backup(), declaration + record("Line09", "CNT", ""));
    // Once for the read, once for the write.
    EXPECT_EQ(occurrences(out, "ERROR: [Ostrel::"), 2u) << out;
    EXPECT_EQ(occurrences(out, "Can't find section Line09. Can't set mode for line 9"), 2u) << out;
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
    const std::string handEdited =
        "<Foo><saved_mode>X</saved_mode></Foo>"
        "<Line3><current_mode>CNT</current_mode><saved_mode>Z</saved_mode></Line3>"
        "<Line03><current_mode>CNT</current_mode></Line03>";
    const std::vector<StartCase> cases = {
        {"toggled lines are reverted",
         toggled,
         declaration + both,
         original,
         declaration,
         {"INFO: [Ostrel::ModeBackup::restoreAllLines] : Reverting Line03, Line07"}},
        {"a file written with plain line feeds",
         toggled,
         "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + both,
         original,
         declaration,
         {"Reverting Line03, Line07"}},
        // A crash after the record was written and before logger.ini was:
        // logger.ini does not show the recorded mode, so it is left alone.
        {"a record whose change never reached logger.ini",
         original,
         declaration + record("Line03", "CNT", "M0"),
         original,
         declaration,
         {"Reverting Line03"}},
        // A crash while a line the service had switched to CNT was being
        // switched on to ALW: logger.ini still shows the service's CNT.
        {"a record left while a switched line was switched again",
         "[Line03]\r\nMode=CNT\r\n[Line07]\r\nMode=M2\r\n",
         declaration + "<Line03><current_mode>ALW</current_mode><saved_mode>M1</saved_mode>"
                       "<replaced_mode>CNT</replaced_mode></Line03>",
         original,
         declaration,
         {"Reverting Line03"}},
        // One record that cannot be reverted (its section has no Mode)
        // stays, and the records after it are reverted all the same.
        {"a record that fails stops none of the others",
         "[Line01]\r\nGain=1\r\n[Line02]\r\nMode=CNT\r\n",
         declaration + record("Line01", "CNT", "REC") + record("Line02", "CNT", "VOX"),
         "[Line01]\r\nGain=1\r\n[Line02]\r\nMode=VOX\r\n",
         declaration + record("Line01", "CNT", "REC"),
         {"Reverting Line01, Line02",
          "ERROR: [Ostrel::ModeBackup::restoreAllLines] : Can't revert Line01, left in the backup file: Key not "
          "found: Mode"}},
        {"a declaration only", original, declaration, original, declaration, {}},
        {"no file",
         original,
         "",
         original,
         "",
         {"INFO: [Ostrel::ModeBackup::load] : Backup file not found, nothing to revert"}},
        {"hand-edited records are reported and kept",
         "[Line03]\r\nMode=CNT\r\n[Line07]\r\nMode=CNT\r\n",
         declaration + "<Foo><saved_mode>X</saved_mode></Foo>" + record("Line07", "CNT", "M2") +
             "<Line3><current_mode>CNT</current_mode><saved_mode>Z</saved_mode></Line3>" +
             "<Line03><current_mode>CNT</current_mode></Line03>",
         "[Line03]\r\nMode=CNT\r\n[Line07]\r\nMode=M2\r\n",
         declaration + handEdited,
         {"Reverting Foo, Line07, Line3, Line03", "ERROR: [Ostrel::ModeBackup::restoreAllLines] : Backup record Foo",
          "Backup record Line3", "Backup record Line03"}},
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.name);
        setIni(c.iniFile);
        DeleteFileA(backupPath.c_str());
        if (!c.backupFile.empty())
            setBackup(c.backupFile);
        ModeBackup start(files());
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

TEST_F(ModeBackupTest, ARecordThatFailsStaysAndStopsNoOtherAtAnyLaterStart)
{
    setIni("[Line01]\r\nGain=1\r\n[Line02]\r\nMode=VOX\r\n");
    setBackup(declaration + record("Line01", "CNT", "REC"));
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        ModeBackup run(files());
        // A toggle of line 2 that a kill cut short, after the record that fails.
        run.load();
        run.setLineMode(2, "CNT");
        ModeBackup next(files());
        CaptureStdout();
        next.load();
        next.restoreAllLines();
        EXPECT_THAT(GetCapturedStdout(), HasSubstr("Can't revert Line01, left in the backup file"));
        EXPECT_EQ(ini(), "[Line01]\r\nGain=1\r\n[Line02]\r\nMode=VOX\r\n");
        EXPECT_EQ(backup(), declaration + record("Line01", "CNT", "REC"));
    }
}

// A line switched again after the write of an earlier switch failed: the
// record still holds the mode that write replaced, and logger.ini shows it.
TEST_F(ModeBackupTest, ASwitchKeepsTheSavedModeWhileLoggerIniShowsTheReplacedMode)
{
    setIni("[Line03]\r\nMode=CNT\r\n");
    setBackup(declaration +
              "<Line03><current_mode>ALW</current_mode><saved_mode>M1</saved_mode>"
              "<replaced_mode>CNT</replaced_mode></Line03>");
    backupObject.load();
    backupObject.setLineMode(3, "X");
    EXPECT_EQ(backup(), declaration +
                            "<Line03><current_mode>X</current_mode><saved_mode>M1</saved_mode>"
                            "<replaced_mode>CNT</replaced_mode></Line03>");
    backupObject.restoreLine(3);
    EXPECT_EQ(mode(3), "M1");
}

TEST_F(ModeBackupTest, ADamagedFileIsKeptAsideAndReported)
{
    const std::string truncated = declaration + "<Line03><current_mode>CNT</current_mode><saved_mo";
    setBackup(truncated);
    setLineModeInLoggerINI(3, "CNT", iniPath);
    CaptureStdout();
    backupObject.load();
    backupObject.restoreAllLines();
    const std::string out = GetCapturedStdout();
    ASSERT_EQ(damaged().size(), 1u);
    EXPECT_THAT(out, HasSubstr("ERROR: [Ostrel::ModeBackup::load] : Backup file damaged, kept as " + damaged()[0] +
                               ", nothing reverted"));
    EXPECT_EQ(readFileBytes(damaged()[0]), truncated);
    EXPECT_EQ(mode(3), "CNT");
    backupObject.setLineMode(7, "CNT");  // the service goes on working
    EXPECT_EQ(backup(), declaration + record("Line07", "CNT", "M2"));
}

// Damaged files of earlier starts already hold the names of the coming
// half minute: each new one gets a numbered name of its own, the message
// names it, and no file set aside is ever replaced.
TEST_F(ModeBackupTest, EveryDamagedFileIsKeptUnderANameOfItsOwn)
{
    const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
    std::vector<std::string> earlier;
    for (int second = 0; second < 30; ++second) {
        earlier.push_back(backupPath + "." +
                          boost::posix_time::to_iso_string(now + boost::posix_time::seconds(second)) + ".damaged");
        writeFileBytes(earlier.back(), "earlier " + std::to_string(second));
    }
    for (const std::string& file : {declaration + "<Line03><current_mo", declaration + "<Line07>", "\0"s}) {
        SCOPED_TRACE(file);
        setBackup(file);
        const std::vector<std::string> before = damaged();
        CaptureStdout();
        ModeBackup(files()).load();
        const std::string out = GetCapturedStdout();
        std::vector<std::string> added;
        for (const std::string& path : damaged())
            if (std::find(before.begin(), before.end(), path) == before.end())
                added.push_back(path);
        ASSERT_EQ(added.size(), 1u) << out;
        EXPECT_THAT(added[0], testing::MatchesRegex(".*\\.\\d+T\\d+-\\d+\\.damaged"));
        EXPECT_EQ(readFileBytes(added[0]), file);
        EXPECT_THAT(out, HasSubstr("Backup file damaged, kept as " + added[0] + ", nothing reverted"));
        EXPECT_FALSE(fileExists(backupPath));
    }
    for (std::size_t second = 0; second < earlier.size(); ++second)
        EXPECT_EQ(readFileBytes(earlier[second]), "earlier " + std::to_string(second));
}

// A damaged file that cannot be moved aside (here another process has it
// open without delete sharing) is never written over: no line changes until
// it can be moved.
TEST_F(ModeBackupTest, ADamagedFileThatCannotBeMovedAsideStopsEveryChangeUntilItCan)
{
    const std::string truncated = declaration + "<Line03><current_mode>CNT</current_mode><saved_mo";
    setBackup(truncated);
    FileHolder holder;
    holder.require("nodelete " + backupPath);
    // Moving it aside is tried for the product's own wait, then given up.
    ModeBackup service(files());
    CaptureStdout();
    service.load();
    service.setLineMode(3, "CNT");
    const std::string out = GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("ERROR: [Ostrel::ModeBackup::load] : Backup file damaged and can't be kept as " +
                               backupPath + "."));
    EXPECT_THAT(out, HasSubstr("ERROR: [Ostrel::ModeBackup::setLineMode] : Can't update backup, logger.ini could be "
                               "corrupted if the service is terminated: Backup file damaged"));
    EXPECT_THAT(out, HasSubstr("line 3 left unchanged"));
    EXPECT_EQ(mode(3), "M1");
    EXPECT_EQ(backup(), truncated);
    EXPECT_THAT(damaged(), testing::IsEmpty());

    holder.require("close");
    service.setLineMode(3, "CNT");
    ASSERT_EQ(damaged().size(), 1u);
    EXPECT_EQ(readFileBytes(damaged()[0]), truncated);
    EXPECT_EQ(backup(), declaration + record("Line03", "CNT", "M1"));
    EXPECT_EQ(mode(3), "CNT");
}

// Another process holds the backup file without sharing while the service
// starts: the file is waited for, not taken for damaged, and its records are
// reverted once it is free; a stop ends the wait with the file untouched.
TEST_F(ModeBackupTest, ABusyBackupFileIsWaitedForAtStart)
{
    const std::string records = declaration + record("Line03", "CNT", "M1");
    setBackup(records);
    setLineModeInLoggerINI(3, "CNT", iniPath);
    FileHolder holder;
    holder.require("deny " + backupPath);
    EXPECT_TRUE(waitEndsByInterruption([this] { ModeBackup(files()).load(); }));
    holder.require("close");
    EXPECT_EQ(backup(), records);
    EXPECT_THAT(damaged(), testing::IsEmpty());

    holder.require("deny " + backupPath);

    boost::thread release([&] {
        boost::this_thread::sleep_for(boost::chrono::milliseconds(300));
        holder.require("close");
    });
    CaptureStdout();
    backupObject.load();
    backupObject.restoreAllLines();
    const std::string out = GetCapturedStdout();
    release.join();
    EXPECT_THAT(out, Not(HasSubstr("ERROR")));
    EXPECT_EQ(mode(3), "M1");
    EXPECT_EQ(backup(), declaration);
}

// Another process has one of the backup's files open for a moment (a
// reader of the backup, a scanner looking into the new temporary file):
// the save waits for it.
TEST_F(ModeBackupTest, ASaveWaitsForAnotherProcessHoldingItsFiles)
{
    for (const std::string& held : {backupPath, backupPath + ".tmp"}) {
        SCOPED_TRACE(held);
        setIni("[Line03]\r\nMode=M1\r\n[Line07]\r\nMode=M2\r\n");
        setBackup(declaration);
        ModeBackup saving(files(), patientSaves());
        saving.load();
        saving.setLineMode(3, "CNT");
        writeFileBytes(backupPath + ".tmp", "left over by a failed save");
        FileHolder other;
        other.require("deny " + held);
        boost::thread release([&] {
            boost::this_thread::sleep_for(boost::chrono::milliseconds(300));
            other.require("close");
        });
        CaptureStdout();
        saving.setLineMode(7, "CNT");
        const std::string out = GetCapturedStdout();
        release.join();
        EXPECT_THAT(out, Not(HasSubstr("ERROR")));
        EXPECT_EQ(backup(), declaration + record("Line03", "CNT", "M1") + record("Line07", "CNT", "M2"));
        EXPECT_EQ(mode(7), "CNT");
    }
}

// The record is on disk before logger.ini changes: while the replace of
// the backup file waits, logger.ini (read past the change's lock) still
// shows the old mode.
TEST_F(ModeBackupTest, LoggerIniChangesOnlyOnceTheRecordIsSaved)
{
    setBackup(declaration);
    backupObject.load();
    const std::string before = ini();
    FileHolder reader;
    reader.require("deny " + backupPath);
    boost::thread toggle([this] { backupObject.setLineMode(7, "CNT"); });
    ASSERT_TRUE(
        eventually([&] { return readFileBytes(backupPath + ".tmp").find("<Line07>") != std::string::npos; }, 10000, 2));
    EXPECT_EQ(ini(), before);
    reader.require("close");
    toggle.join();
    EXPECT_EQ(mode(7), "CNT");
    EXPECT_EQ(backup(), declaration + record("Line07", "CNT", "M2"));
}

TEST_F(ModeBackupTest, ALineWhoseRecordCannotBeSavedIsLeftUnchanged)
{
    backupObject.setLineMode(3, "CNT");
    const std::string before = backup();
    ASSERT_TRUE(CreateDirectoryA((backupPath + ".tmp").c_str(), nullptr));  // blocks the temporary file
    CaptureStdout();
    backupObject.setLineMode(7, "CNT");
    const std::string out = GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("ERROR: [Ostrel::ModeBackup::setLineMode] : Can't update backup, logger.ini could be "
                               "corrupted if the service is terminated: "));
    EXPECT_THAT(out, HasSubstr("; line 7 left unchanged"));
    EXPECT_EQ(backup(), before);
    EXPECT_EQ(mode(7), "M2");
    RemoveDirectoryA((backupPath + ".tmp").c_str());
    backupObject.restoreLine(7);  // nothing recorded, nothing to do
    EXPECT_EQ(mode(7), "M2");
    backupObject.setLineMode(7, "CNT");
    EXPECT_EQ(backup(), declaration + record("Line03", "CNT", "M1") + record("Line07", "CNT", "M2"));
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

// A change is one transaction on logger.ini: another program that writes
// the line while the change's record is being saved (the backup file held
// by a third process) waits for the change to end, so the record holds the
// mode the change replaced, and the other program's mode, written after,
// stands at the revert.
TEST_F(ModeBackupTest, AnotherProgramsWriteWaitsForTheWholeChange)
{
    setBackup(declaration);
    backupObject.load();
    FileHolder reader;
    reader.require("deny " + backupPath);
    boost::thread toggle([this] { backupObject.setLineMode(3, "CNT"); });
    ASSERT_TRUE(eventually(
        [&] {
            return readFileBytes(backupPath + ".tmp").find("<current_mode>CNT</current_mode>") != std::string::npos;
        },
        10000, 2));
    boost::thread user([this] { setLineModeInLoggerINI(3, "USER", iniPath); });
    // Time for the other program's write to reach logger.ini's lock.
    EXPECT_FALSE(user.try_join_for(boost::chrono::milliseconds(300))) << "wrote during the change";
    EXPECT_EQ(ini(), "[Line03]\r\nMode=M1\r\n[Line07]\r\nMode=M2\r\n[Line12]\r\nMode=\r\n");
    reader.require("close");
    toggle.join();
    user.join();
    EXPECT_EQ(mode(3), "USER");
    EXPECT_EQ(backup(), declaration + record("Line03", "CNT", "M1"));
    backupObject.restoreLine(3);
    EXPECT_EQ(mode(3), "USER");
    EXPECT_EQ(backup(), declaration);
}

// Reverts that fail are owed, and tried again while the service runs: once
// the retry period has passed, or at once after another successful write.
struct RetryCase {
    const char* name;
    std::function<void(ScopedLoggerIni&)> breakIt;  // while line 3 is switched to CNT
    std::string failure;                            // what the failed revert says
    std::function<void(ScopedLoggerIni&)> repair;
};

TEST_F(ModeBackupTest, AFailedRevertIsTriedAgainUntilItSucceeds)
{
    const std::vector<RetryCase> cases = {
        {"logger.ini gone for a while", [](ScopedLoggerIni& f) { DeleteFileA(f.iniPath.c_str()); }, "File open failed",
         [](ScopedLoggerIni& f) { f.setIni("[Line03]\r\nMode=CNT\r\n[Line07]\r\nMode=M2\r\n"); }},
        {"a section without its Mode for a while",
         [](ScopedLoggerIni& f) { f.setIni("[Line03]\r\nGain=1\r\n[Line07]\r\nMode=M2\r\n"); }, "Key not found: Mode",
         [](ScopedLoggerIni& f) { f.setIni("[Line03]\r\nMode=CNT\r\nGain=1\r\n[Line07]\r\nMode=M2\r\n"); }},
    };
    for (const RetryCase& c : cases) {
        for (const bool afterAWrite : {false, true}) {
            SCOPED_TRACE(std::string(c.name) +
                         (afterAWrite ? ", retried after a write" : ", retried after the period"));
            setIni("[Line03]\r\nMode=M1\r\n[Line07]\r\nMode=M2\r\n");
            setBackup(declaration);
            // A period no test waits for, unless the retry is to come from it.
            ModeBackup service(files(), retryAfter(boost::chrono::milliseconds(afterAWrite ? 3600 * 1000 : 300)));
            service.load();
            service.setLineMode(3, "CNT");
            c.breakIt(*this);
            try {
                service.restoreLine(3);
                ADD_FAILURE() << "the revert did not fail";
            } catch (const std::exception& e) {
                EXPECT_THAT(e.what(), HasSubstr(c.failure));
            }
            EXPECT_EQ(backup(), declaration + record("Line03", "CNT", "M1"));
            CaptureStdout();
            service.retryFailedReverts();  // still broken: tried (or not yet), kept, not reported again
            c.repair(*this);
            if (afterAWrite) {
                service.retryFailedReverts();  // the period is far off
                EXPECT_THAT(ini(), HasSubstr("Mode=CNT"));
                service.setLineMode(7, "X");
                service.retryFailedReverts();
            } else {
                EXPECT_TRUE(eventually(
                    [&] {
                        service.retryFailedReverts();
                        return ini().find("Mode=M1") != std::string::npos;
                    },
                    10000));
            }
            const std::string out = GetCapturedStdout();
            EXPECT_EQ(mode(3), "M1");
            EXPECT_THAT(out, HasSubstr("INFO: [Ostrel::ModeBackup::retryFailedReverts] : Reverted Line03"));
            EXPECT_THAT(out, Not(HasSubstr("ERROR"))) << out;
            EXPECT_EQ(backup(), declaration + (afterAWrite ? record("Line07", "X", "M2") : std::string()));
        }
    }
}

// The retry runs on the engine's loop, which must never wait: a logger.ini
// another process holds is tried again at the next occasion.
TEST_F(ModeBackupTest, ARetryDoesNotWaitForAHeldLoggerIni)
{
    setBackup(declaration + record("Line03", "CNT", "M1"));
    ASSERT_TRUE(DeleteFileA(iniPath.c_str()));
    ModeBackup service(files(), retryAfter(boost::chrono::milliseconds(0)));
    CaptureStdout();
    service.load();
    service.restoreAllLines();  // owed: no logger.ini
    setIni("[Line03]\r\nMode=CNT\r\n");
    FileHolder other;
    other.require("open " + iniPath);
    other.require("lock exclusive");
    boost::thread retry([&] { service.retryFailedReverts(); });
    const bool returned = retry.try_join_for(boost::chrono::seconds(10));
    EXPECT_TRUE(returned) << "the retry waited for the held file";
    EXPECT_EQ(backup(), declaration + record("Line03", "CNT", "M1"));
    other.require("close");
    retry.join();
    service.retryFailedReverts();
    GetCapturedStdout();
    EXPECT_EQ(mode(3), "M1");
    EXPECT_EQ(backup(), declaration);
}

// logger.ini missing at start: one ERROR for all records, which stay and are
// reverted once the file is back. A toggle meanwhile changes nothing.
TEST_F(ModeBackupTest, AMissingLoggerIniKeepsTheRecordsUntilItIsBack)
{
    const std::string records = declaration + record("Line03", "CNT", "M1") + record("Line07", "CNT", "M2");
    setBackup(records);
    ASSERT_TRUE(DeleteFileA(iniPath.c_str()));
    ModeBackup service(files(), retryAfter(boost::chrono::milliseconds(0)));
    CaptureStdout();
    service.load();
    service.restoreAllLines();
    EXPECT_THROW(service.setLineMode(12, "CNT"), boost::system::system_error);
    service.retryFailedReverts();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(occurrences(out, "ERROR"), 1u) << out;
    EXPECT_THAT(out, HasSubstr(iniPath + " can't be opened"));
    EXPECT_THAT(out, HasSubstr("Line03, Line07 stay in the backup file and are reverted once it can"));
    EXPECT_FALSE(fileExists(iniPath));
    EXPECT_EQ(backup(), records);

    setIni("[Line03]\r\nMode=CNT\r\n[Line07]\r\nMode=CNT\r\n[Line12]\r\nMode=M3\r\n");
    CaptureStdout();
    service.retryFailedReverts();
    out = GetCapturedStdout();
    EXPECT_THAT(out, Not(HasSubstr("ERROR")));
    EXPECT_EQ(ini(), "[Line03]\r\nMode=M1\r\n[Line07]\r\nMode=M2\r\n[Line12]\r\nMode=M3\r\n");
    EXPECT_EQ(backup(), declaration);
}

// A backup file that cannot be read at start (here a folder stands in its
// place) is taken over as soon as it can be read, and its records are
// reverted in the same run.
TEST_F(ModeBackupTest, ABackupUnreadableAtStartIsRepairedOnceItCanBeRead)
{
    ASSERT_TRUE(CreateDirectoryA(backupPath.c_str(), nullptr));
    setLineModeInLoggerINI(3, "CNT", iniPath);
    ModeBackup service(files(), retryAfter(boost::chrono::milliseconds(0)));
    CaptureStdout();
    service.load();
    service.restoreAllLines();
    service.retryFailedReverts();
    std::string out = GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("ERROR: [Ostrel::ModeBackup::load] : Backup file can't be read"));
    EXPECT_EQ(mode(3), "CNT");

    ASSERT_TRUE(RemoveDirectoryA(backupPath.c_str()));
    setBackup(declaration + record("Line03", "CNT", "M1"));
    CaptureStdout();
    service.retryFailedReverts();
    out = GetCapturedStdout();
    EXPECT_THAT(out, HasSubstr("Backup file read at last; Line03 of an earlier run to be reverted"));
    EXPECT_EQ(mode(3), "M1");
    EXPECT_EQ(backup(), declaration);
}

}  // namespace
