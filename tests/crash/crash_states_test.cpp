// The explorer's model: strace's text read into file calls, and the crash
// states a list of calls can leave.

#include "crash/CrashStates.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace {

using crash::FileCall;
using crash::Files;

const std::set<std::string> watched = {"logger.ini", "saved.bak", "saved.bak.tmp"};

FileCall write(const std::string& file, std::uint64_t at, const std::string& data)
{
    FileCall c;
    c.kind = FileCall::Write;
    c.file = file;
    c.position = at;
    c.data = data;
    return c;
}
FileCall truncate(const std::string& file, std::uint64_t length)
{
    FileCall c;
    c.kind = FileCall::Truncate;
    c.file = file;
    c.position = length;
    return c;
}
FileCall flush(const std::string& file)
{
    FileCall c;
    c.kind = FileCall::Flush;
    c.file = file;
    return c;
}
FileCall rename(const std::string& from, const std::string& to)
{
    FileCall c;
    c.kind = FileCall::Rename;
    c.file = from;
    c.target = to;
    return c;
}

// The lines of a program's and the wineserver's traces as Wine leaves them
// for an in-place rewrite of logger.ini and a backup replace, shortened.
const std::string programTrace =
    "7 1000.000100 lseek(19</w/drive_c/windows/logger.ini>, 0, SEEK_SET) = 0\n"
    "7 1000.000110 read(19</w/drive_c/windows/logger.ini>, \"[L]\\r\\nMode=A\\r\\n\", 65536) = 14\n"
    "7 1000.000120 read(19</w/drive_c/windows/logger.ini>, \"\", 65522) = 0\n"
    "7 1000.000130 lseek(19</w/drive_c/windows/logger.ini>, 0, SEEK_SET) = 0\n"
    "7 1000.000140 write(19</w/drive_c/windows/logger.ini>, \"[L]\\r\\nMode=\\x42\\r\\n\", 14) = 14\n"
    "7 1000.000300 close(19</w/drive_c/windows/logger.ini>) = 0\n"
    "8 1000.000400 write(21</w/drive_c/windows/saved.bak.tmp>, \"<x/>\" <unfinished ...>\n"
    "7 1000.000410 write(4<pipe:[1]>, \"\", 0) = 0\n"
    "8 1000.000420 <... write resumed>, 4) = 4\n"
    "8 1000.000500 fsync(21</w/drive_c/windows/saved.bak.tmp>) = 0\n"
    "8 1000.000510 write(21</w/drive_c/windows/saved.bak.tmp>, \"?\", 1) = -1 EBADF (Bad file descriptor)\n"
    "8   1000.000700 +++ exited with 0 +++\n";
const std::string serverTrace =
    "9    1000.000200 pwrite64(151</w/drive_c/windows/logger.ini>, \"\\x00\", 1, 14) = 1\n"
    "9 1000.000210 ftruncate(151</w/drive_c/windows/logger.ini>, 14) = 0\n"
    "9 1000.000350 ftruncate(151</w/drive_c/windows/saved.bak.tmp>, 0) = 0\n"
    "9 1000.000600 rename(\"saved.bak.tmp\", \"/w/dosdevices/c:/windows/saved.bak\") = 0\n";

TEST(CrashTraces, GiveTheWin32CallsInTheOrderTheyHappened)
{
    const std::vector<FileCall> expected = {
        write("logger.ini", 0, "[L]\r\nMode=B\r\n"),
        truncate("logger.ini", 14),  // the zero byte and the cut: one SetEndOfFile
        truncate("saved.bak.tmp", 0),
        write("saved.bak.tmp", 0, "<x/>"),  // at the time the write started
        flush("saved.bak.tmp"),
        rename("saved.bak.tmp", "saved.bak"),
    };
    const auto calls = crash::callsFromTraces({programTrace, serverTrace}, watched);
    ASSERT_EQ(calls.size(), expected.size());
    for (std::size_t i = 0; i < calls.size(); ++i)
        EXPECT_EQ(calls[i], expected[i]) << i << ": " << crash::describe(calls[i]);
}

TEST(CrashTraces, WritesLandAtTheDescriptorsPosition)
{
    const std::string trace =
        "7 1.000001 read(3</d/logger.ini>, \"abc\", 3) = 3\n"
        "7 1.000002 write(3</d/logger.ini>, \"XY\", 2) = 2\n"
        "7 1.000003 write(3</d/logger.ini>, \"Z\", 1) = 1\n"
        "7 1.000004 close(3</d/logger.ini>) = 0\n"
        "7 1.000005 write(3</d/logger.ini>, \"\\\"\\\\\\n\", 3) = 2\n"
        "7 1.000006 pwrite64(3</d/logger.ini>, \"Q\", 1, 9) = 1\n";
    const auto calls = crash::callsFromTraces({trace}, watched);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0], write("logger.ini", 3, "XY"));
    EXPECT_EQ(calls[1], write("logger.ini", 5, "Z"));
    EXPECT_EQ(calls[2], write("logger.ini", 0, "\"\\"));  // reopened; only what was written
    EXPECT_EQ(calls[3], write("logger.ini", 9, "Q"));
}

// The old backup, replaced by a move while a descriptor still held it:
// whatever goes through that descriptor lands in no file that has a name.
TEST(CrashTraces, CallsOnAFileThatLostItsNameChangeNoFile)
{
    const std::string trace =
        "7 1.000001 write(5</d/saved.bak>(deleted), \"AB\", 2) = 2\n"
        "7 1.000002 fsync(5</d/saved.bak (deleted)>) = 0\n"
        "7 1.000003 ftruncate(5</d/saved.bak>(deleted), 0) = 0\n"
        "7 1.000004 close(5</d/saved.bak>(deleted)) = 0\n"
        "7 1.000005 write(6</d/saved.bak>, \"C\", 1) = 1\n";
    const auto calls = crash::callsFromTraces({trace}, watched);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], write("saved.bak", 0, "C"));
}

TEST(CrashTraces, RefuseWhatTheyCannotReplay)
{
    for (const char* bad : {
             "7 1.000001 write(3</d/logger.ini>, \"abc\"..., 300) = 300\n",  // cut by -s
             "7 1.000001 write(3, \"abc\", 3) = 3\n",                        // no -y
             "7 1.000001 <... write resumed>) = 3\n",
         })
        EXPECT_THROW(crash::callsFromTraces({std::string(bad)}, watched), std::runtime_error) << bad;
}

bool hasState(const std::vector<crash::CrashStates::State>& states, const Files& files)
{
    return std::any_of(states.begin(), states.end(),
                       [&](const crash::CrashStates::State& s) { return s.files == files; });
}

TEST(CrashStates, AKillKeepsEveryCallAndAPowerCutLosesUnflushedOnesNewestFirst)
{
    const Files before = {{"logger.ini", "old"}};
    const auto states = crash::crashStates(before, {write("logger.ini", 0, "new"), write("logger.ini", 3, "er")});
    ASSERT_EQ(states.kill.size(), 3u);
    EXPECT_EQ(states.kill[0].files, before);
    EXPECT_EQ(states.kill[1].files, (Files{{"logger.ini", "new"}}));
    EXPECT_EQ(states.kill[2].files, (Files{{"logger.ini", "newer"}}));
    // Losing the last call gives a kill state again; the first alone never
    // goes while the second stays.
    EXPECT_TRUE(states.power.empty());
}

TEST(CrashStates, AFlushMakesEarlierCallsDurable)
{
    const Files before = {{"logger.ini", "a"}, {"saved.bak", "s0"}};
    const auto unflushed = crash::crashStates(
        before, {write("logger.ini", 0, "b"), write("saved.bak", 0, "s1"), write("logger.ini", 0, "c")});
    // After the last call: logger.ini may fall back to a or b while saved.bak
    // keeps s1, or saved.bak to s0 with logger.ini at c.
    EXPECT_TRUE(hasState(unflushed.power, {{"logger.ini", "a"}, {"saved.bak", "s1"}}));
    EXPECT_TRUE(hasState(unflushed.power, {{"logger.ini", "c"}, {"saved.bak", "s0"}}));

    const auto flushed = crash::crashStates(before, {write("logger.ini", 0, "b"), flush("logger.ini"),
                                                     write("saved.bak", 0, "s1"), write("logger.ini", 0, "c")});
    EXPECT_TRUE(hasState(flushed.power, {{"logger.ini", "c"}, {"saved.bak", "s0"}}));
    for (const auto& state : flushed.power)
        EXPECT_NE(state.files.at("logger.ini"), "a") << state.how;
}

TEST(CrashStates, AWriteThroughReplaceKeepsTheFlushedDataAndItsUnflushedCallsStayAtRisk)
{
    const Files before = {{"saved.bak", "old"}};
    const auto replaced = crash::crashStates(before, {truncate("saved.bak.tmp", 0), write("saved.bak.tmp", 0, "new"),
                                                      flush("saved.bak.tmp"), rename("saved.bak.tmp", "saved.bak"),
                                                      write("logger.ini", 0, "x")});
    EXPECT_TRUE(hasState(replaced.kill, {{"saved.bak", "new"}, {"logger.ini", "x"}}));
    // Before the flush the new file may be empty or missing, the old one
    // stays; after the move, only the new one is there, whatever is lost.
    EXPECT_TRUE(hasState(replaced.kill, {{"saved.bak", "old"}, {"saved.bak.tmp", ""}}));
    for (const auto& state : replaced.power) {
        EXPECT_EQ(state.files.count("saved.bak"), 1u) << state.how;
        if (state.files.count("logger.ini")) {
            EXPECT_EQ(state.files.at("saved.bak"), "new") << state.how;
        }
    }

    const auto unflushed = crash::crashStates(
        before, {truncate("saved.bak.tmp", 0), write("saved.bak.tmp", 0, "new"), rename("saved.bak.tmp", "saved.bak")});
    // Moved without a flush: the name survives, the data may not.
    EXPECT_TRUE(hasState(unflushed.power, {{"saved.bak", ""}}));
    EXPECT_TRUE(hasState(unflushed.power, {}));
}

}  // namespace
