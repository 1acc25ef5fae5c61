// C_ConfigFile and C_CfgFileSnapshot::saveAs on real files, contended by a
// second process (file_holder) where locking matters.

#include "utillib_configfile/ConfigFile.h"

#include "support/FileFailure.h"
#include "support/FileHolder.h"
#include "support/InterruptedWait.h"
#include "support/TempDirectory.h"

#include <boost/thread/thread.hpp>

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

namespace {

const boost::chrono::seconds joinLimit(20);
const std::chrono::milliseconds stillWaitingAfter(300);

const unsigned update = C_ConfigFile::modeRead | C_ConfigFile::modeUpdate;  // as the service opens logger.ini

class ConfigFileTest : public ::testing::Test {
protected:
    std::string file(const std::string& bytes) { return dir.write("logger.ini", bytes); }
    std::string bytes() const { return dir.read("logger.ini"); }

    TempDirectory dir;
};

struct Normalisation {
    const char* name;
    const char* before;
    const char* after;  // the file after reading and committing it unchanged
};

class CommitUnchanged : public ConfigFileTest, public ::testing::WithParamInterface<Normalisation> {};

TEST_P(CommitUnchanged, NormalisesTheFileByteForByte)
{
    const std::string path = file(GetParam().before);
    {
        C_ConfigFile config(path, update);
        config.commit();
    }
    EXPECT_EQ(bytes(), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommitUnchanged,
    ::testing::Values(
        Normalisation{"Empty", "", ""},
        Normalisation{"NoHeaderIsLeftAsItIs", "Mode=CNT\n; comment\r\n", "Mode=CNT\n; comment\r\n"},
        Normalisation{"LinesBeforeTheFirstHeaderStayByteForByte", "; top\nA=1\r\n\r\nstray\r[Line01]\r\nMode=CNT\r\n",
                      "; top\nA=1\r\n\r\nstray\r[Line01]\r\nMode=CNT\r\n"},
        Normalisation{"HeaderIsRebuilt", "[Line01] ; first line\r\nMode=CNT\r\n", "[Line01]\r\nMode=CNT\r\n"},
        Normalisation{"TrailingBlanksOfKeyAndValueGo", "[Line01]\r\nMode \t= CNT  \r\n", "[Line01]\r\nMode= CNT\r\n"},
        Normalisation{"BlankAndCommentLinesStay", "[A]\r\n\r\n  \t\r\n# x = y\r\n;c\r\n/d\r\n[B]\r\n",
                      "[A]\r\n\r\n  \t\r\n# x = y\r\n;c\r\n/d\r\n[B]\r\n"},
        Normalisation{"LfOnly", "[Line01]\nMode=CNT\n[Line02]\nMode=VOX",
                      "[Line01]\r\nMode=CNT\r\n[Line02]\r\nMode=VOX\r\n"},
        Normalisation{"CrOnly", "[Line01]\rMode=CNT\r\r[Line02]\r", "[Line01]\r\nMode=CNT\r\n\r\n[Line02]\r\n"},
        Normalisation{"ByteOrderMarkStaysBeforeTheFirstHeader",
                      "\xEF\xBB\xBF[Line01]\nMode = CNT\r\n[Line02]\r\nMode=VOX\r\n",
                      "\xEF\xBB\xBF[Line01]\r\nMode= CNT\r\n[Line02]\r\nMode=VOX\r\n"}),
    [](const ::testing::TestParamInfo<Normalisation>& info) { return std::string(info.param.name); });

TEST_F(ConfigFileTest, ShorterTextLeavesNoTailOfTheOldContent)
{
    const std::string path = file(
        "[Line01]\r\nMode=CNT\r\nComment=a long line that will go away\r\n[Line02]\r\nMode=VOX\r\n");
    {
        C_ConfigFile config(path, update);
        config.getSection("Line01").removeKey("Comment");
        config.removeSection("Line02");
        config.commit();
    }
    EXPECT_EQ(bytes(), "[Line01]\r\nMode=CNT\r\n");
}

// A commit that fails half-way leaves the old text whole. A cut that fails
// (Windows refuses to shorten a file another handle has mapped) comes after
// the new text, padded with blank lines, went over the old one: the old
// text is written back.
TEST_F(ConfigFileTest, ACommitWhoseCutFailsLeavesTheOldText)
{
    const std::string old = "[Line01]\r\nMode=CNT\r\nComment=long\r\n[Line02]\r\nMode=CNT\r\n";
    for (const std::string& shorter : {std::string("[Line01]\r\nMode=A\r\n[Line02]\r\nMode=B\r\n"),
                                       std::string("[Line01]\r\nMode=AB\r\n[Line02]\r\nMode=B\r\n")}) {
        SCOPED_TRACE(shorter);
        const std::string path = file(old);
        const HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const HANDLE mapping = CreateFileMappingA(other, nullptr, PAGE_READONLY, 0, 0, nullptr);
        const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
        ASSERT_NE(view, nullptr);
        try {
            C_ConfigFile config(path, update);
            config.commitText(shorter);
            ADD_FAILURE() << "the cut did not fail";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code().value(), ERROR_USER_MAPPED_FILE);
        }
        UnmapViewOfFile(view);
        CloseHandle(mapping);
        CloseHandle(other);
        EXPECT_EQ(bytes(), old);
    }
}

TEST_F(ConfigFileTest, ADurableCommitAndAFlushNeedTheUpdateMode)
{
    const std::string path = file("[Line01]\r\nMode=CNT\r\n");
    {
        C_ConfigFile config(path, update);
        config.getSection("Line01").setValue("Mode", "VOX");
        config.commit(C_ConfigFile::Durability::durable);
        config.flush();
    }
    EXPECT_EQ(bytes(), "[Line01]\r\nMode=VOX\r\n");
    C_ConfigFile reader(path, C_ConfigFile::modeRead);
    EXPECT_THROW(reader.flush(), std::logic_error);
}

TEST_F(ConfigFileTest, NewSectionAndKeyEndTheFile)
{
    const std::string path = file("[Line01]\r\nMode=CNT\r\n");
    {
        C_ConfigFile config(path, update);
        config.getSection("Line07", true).setValue("Mode", "CNT");
        config.commit();
    }
    EXPECT_EQ(bytes(), "[Line01]\r\nMode=CNT\r\n[Line07]\r\nMode=CNT\r\n");
}

TEST_F(ConfigFileTest, NothingIsWrittenWithoutCommit)
{
    const std::string original = "; kept\r\n[Line01]\r\nMode = CNT \n";
    const std::string path = file(original);
    {
        C_ConfigFile config(path, update);
        config.getSection("line01").setValue("Mode", "VOX");
        config.getSection("Line02", true).setValue("Mode", "CNT");
    }
    EXPECT_EQ(bytes(), original);
}

TEST_F(ConfigFileTest, CommitsMayRepeatAndReloadReadsWhatIsInTheFile)
{
    const std::string path = file("[Line01]\r\nMode=CNT\r\n");
    C_ConfigFile config(path, update);
    config.getSection("Line01").setValue("Mode", "VOX");
    config.commit();
    config.getSection("Line01").setValue("Mode", "OFF");
    config.reload();
    EXPECT_EQ(config.getSection("Line01").getValue("Mode"), "VOX");
    config.getSection("Line01").setValue("Mode", "X");
    config.commit();
    config.reload();
    EXPECT_EQ(config.getSection("Line01").getValue("Mode"), "X");
}

TEST_F(ConfigFileTest, ReadOnlyOpenReadsButCommitIsALogicError)
{
    const std::string path = file("[Line01]\r\nMode=CNT\r\n");
    for (unsigned mode : {0u, unsigned(C_ConfigFile::modeRead)}) {
        C_ConfigFile config(path, mode);
        EXPECT_EQ(config.getSection("Line01").getValue("Mode"), "CNT");
        config.getSection("Line01").setValue("Mode", "VOX");
        EXPECT_THROW(config.commit(), std::logic_error);
    }
    EXPECT_EQ(bytes(), "[Line01]\r\nMode=CNT\r\n");
}

TEST_F(ConfigFileTest, NoLoadStartsEmptyAndItsCommitEmptiesTheFile)
{
    const std::string path = file("[Line01]\r\nMode=CNT\r\n");
    {
        C_ConfigFile flagged(path, update | C_ConfigFile::modeNoLoad);
        EXPECT_TRUE(flagged.sections().empty());
        flagged.commit();
    }
    EXPECT_EQ(bytes(), "");
}

TEST_F(ConfigFileTest, UpdateCreatesAMissingFileAndReadingDoesNot)
{
    {
        C_ConfigFile created(dir.path("logger.ini"), update);
        EXPECT_TRUE(created.sections().empty());
        created.getSection("Line01", true).setValue("Mode", "CNT");
        created.commit();
    }
    EXPECT_EQ(bytes(), "[Line01]\r\nMode=CNT\r\n");
    try {
        C_ConfigFile missing(dir.path("missing.ini"), C_ConfigFile::modeRead);
        FAIL() << "opened a missing file";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(describe(e), (FileFailure{ERROR_FILE_NOT_FOUND, "CreateFile", dir.path("missing.ini")}));
    }
    EXPECT_FALSE(dir.exists("missing.ini"));
}

TEST_F(ConfigFileTest, ReadOnlyFileIsUpdatedAndStaysReadOnly)
{
    const std::string path = file("[Line01]\r\nMode=CNT\r\n");
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    for (unsigned mode : {update, unsigned(C_ConfigFile::modeUpdate)}) {
        C_ConfigFile config(path, mode);
        config.getSection("Line01").setValue("Mode", mode == update ? "VOX" : "OFF");
        config.commit();
    }
    EXPECT_EQ(bytes(), "[Line01]\r\nMode=OFF\r\n");
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & ~FILE_ATTRIBUTE_ARCHIVE, DWORD(FILE_ATTRIBUTE_READONLY));
}

TEST_F(ConfigFileTest, SyntaxErrorInTheConstructorLeavesNothingOpenOrLocked)
{
    const std::string path = file("[Line01]\r\nMode=CNT\r\n[Line02\r\n");
    for (unsigned mode : {0u, update}) {
        EXPECT_THROW(C_ConfigFile(path, mode), Configuration::SyntaxError);
        FileHolder holder;
        EXPECT_EQ(holder.command("deny " + path), "ok");
        holder.require("close");
        holder.require("open " + path);
        EXPECT_EQ(holder.command("lock exclusive"), "ok 29");
    }
    EXPECT_EQ(bytes(), "[Line01]\r\nMode=CNT\r\n[Line02\r\n");
}

TEST_F(ConfigFileTest, UpdaterKeepsOtherProcessesOutAndReadersShare)
{
    const std::string path = file("[Line01]\r\nMode=CNT\r\n");
    FileHolder holder;
    holder.require("open " + path);
    {
        C_ConfigFile updating(path, update);
        EXPECT_EQ(holder.command("lock shared"), "error 33");
    }
    {
        C_ConfigFile reading(path, C_ConfigFile::modeRead);
        EXPECT_EQ(holder.command("lock shared"), "ok 20");
        EXPECT_NO_THROW(C_ConfigFile(path, 0, C_ConfigFile::Wait::never));
        EXPECT_THROW(C_ConfigFile(path, update, C_ConfigFile::Wait::never), win32_file::temporarily_unavailable);
    }
}

TEST_F(ConfigFileTest, WithoutWaitingAHeldFileFailsAtOnce)
{
    const std::string path = file("[Line01]\r\nMode=CNT\r\n");
    FileHolder holder;
    holder.require("open " + path);
    holder.require("lock exclusive");
    try {
        C_ConfigFile config(path, update, C_ConfigFile::Wait::never);
        FAIL() << "opened a locked file";
    } catch (const win32_file::temporarily_unavailable& e) {
        EXPECT_EQ(nestedFailure(e), (FileFailure{ERROR_LOCK_VIOLATION, "LockFile", path}));
    }
    holder.require("unlock");
    holder.require("close");
    holder.require("deny " + path);
    try {
        C_ConfigFile config(path, update, C_ConfigFile::Wait::never);
        FAIL() << "opened a file held without sharing";
    } catch (const win32_file::temporarily_unavailable& e) {
        EXPECT_EQ(nestedFailure(e), (FileFailure{ERROR_SHARING_VIOLATION, "CreateFile", path}));
    }
}

TEST_F(ConfigFileTest, WaitingEndsWhenTheOtherProcessReleasesTheFile)
{
    const std::string path = file("[Line01]\r\nMode=CNT\r\n");
    FileHolder holder;
    holder.require("open " + path);
    holder.require("lock exclusive");
    std::promise<void> done;
    boost::thread writer([&] {
        C_ConfigFile config(path, update);
        config.getSection("Line01").setValue("Mode", "VOX");
        config.commit();
        done.set_value();
    });
    std::future<void> finished = done.get_future();
    EXPECT_EQ(finished.wait_for(stillWaitingAfter), std::future_status::timeout);
    holder.require("unlock");
    ASSERT_TRUE(writer.try_join_for(joinLimit));
    EXPECT_EQ(bytes(), "[Line01]\r\nMode=VOX\r\n");
}

TEST_F(ConfigFileTest, InterruptedWaitLeavesWithTheInterruptionAndNothingOpen)
{
    const std::string path = file("[Line01]\r\nMode=CNT\r\n");
    FileHolder holder;
    holder.require("open " + path);
    holder.require("lock exclusive");
    EXPECT_TRUE(waitEndsByInterruption([&] { C_ConfigFile config(path, update); }));
    holder.require("close");
    EXPECT_EQ(holder.command("deny " + path), "ok");
}

TEST_F(ConfigFileTest, SaveAsWritesTheSnapshotIntoAFileOfItsOwn)
{
    C_CfgFileSnapshot snapshot;
    snapshot.getSection("Line01", true).setValue("Mode", "CNT");
    snapshot.saveAs(dir.widePath("new.ini"));
    EXPECT_EQ(dir.read("new.ini"), "[Line01]\r\nMode=CNT\r\n");

    dir.write("old.ini", std::string(500, 'x'));
    ASSERT_TRUE(SetFileAttributesA(dir.path("old.ini").c_str(), FILE_ATTRIBUTE_READONLY));
    snapshot.saveAs(dir.widePath("old.ini"));
    EXPECT_EQ(dir.read("old.ini"), "[Line01]\r\nMode=CNT\r\n");
    EXPECT_EQ(GetFileAttributesA(dir.path("old.ini").c_str()) & ~FILE_ATTRIBUTE_ARCHIVE,
              DWORD(FILE_ATTRIBUTE_READONLY));
}

TEST_F(ConfigFileTest, SaveAsWaitsForTheLock)
{
    const std::string path = dir.write("held.ini", "old");
    FileHolder holder;
    holder.require("open " + path);
    holder.require("lock shared");
    C_CfgFileSnapshot snapshot;
    snapshot.getSection("S", true).setValue("K", "V");
    boost::thread saver([&] { snapshot.saveAs(dir.widePath("held.ini")); });
    EXPECT_FALSE(saver.try_join_for(boost::chrono::milliseconds(stillWaitingAfter.count())));
    holder.require("unlock");
    ASSERT_TRUE(saver.try_join_for(joinLimit));
    EXPECT_EQ(dir.read("held.ini"), "[S]\r\nK=V\r\n");
}

}  // namespace
