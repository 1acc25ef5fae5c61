#include "handle/KernelHandle.h"
#include "logging/EventLog.h"
#include "logging/Log.h"
#include "logging/VersionInfo.h"
#include "support/LiveProcess.h"
#include "support/TestInputs.h"
#include "support/Timeouts.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

struct Finished {
    DWORD exitCode;
    std::string output;
};

// Runs a program with its standard output sent to a file, as an admin's
// "/console > log.txt" does, and returns what reached the file.
Finished runToFile(const std::wstring& commandLine)
{
    const std::string outputPath = besideThisProgram("logging_test_output.txt");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    KernelHandle file(CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(file) << GetLastError();
    Finished result{STILL_ACTIVE, {}};
    {
        LaunchOptions options;
        options.outputFile = file.get();
        LiveProcess program(commandLine, options);
        file.reset();
        EXPECT_TRUE(program.finish(timeouts::state, &result.exitCode));
    }
    result.output = readFileBytes(outputPath);
    DeleteFileA(outputPath.c_str());
    return result;
}

std::wstring probe(const std::wstring& arguments)
{
    return L"\"" + besideThisProgram(L"logging_probe.exe") + L"\" " + arguments;
}

TEST(ConsoleSink, LinesReachARedirectedOutputAsWritten)
{
    const Finished run = runToFile(probe(L"2 first 7 \"100%s %n\" 0 third"));
    EXPECT_EQ(run.exitCode, 0u);
    // Named from the project's root, not from the folder of the build.
    const std::string place = "tests/logging/LoggingProbe.cpp(14): ";
    EXPECT_EQ(run.output, place + "INFO: [probe::Reporter::report] : probe says first\r\n" + place +
                              "<unknown>: [probe::Reporter::report] : probe says 100%s %n\r\n" + place +
                              "ERROR: [probe::Reporter::report] : probe says third\r\n");
}

// Without a flush per line the runtime's buffer dies with a killed process.
TEST(ConsoleSink, LinesSurviveAKilledProcess)
{
    const Finished run = runToFile(probe(L"2 before-kill --kill 2 after-kill"));
    EXPECT_EQ(run.exitCode, 3u);
    EXPECT_NE(run.output.find("probe says before-kill\r\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("after-kill"), std::string::npos);
}

TEST(VersionInfo, ProgramDescribesItself)
{
    for (const std::string& path : {besideThisProgram("OstrelService.exe"), std::string(logging::ownModulePath())}) {
        const logging::VersionInfo version(path.c_str());
        EXPECT_STREQ(version.stringValue("FileDescription"), "Brevik Ostrel service program") << path;
        EXPECT_STREQ(version.stringValue("NoSuchValue"), "") << path;
    }
}

TEST(VersionInfo, TranslationListsUsEnglishUnicode)
{
    const std::string path = besideThisProgram("OstrelService.exe");
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeA(path.c_str(), &ignored));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
    WORD* translation = nullptr;
    UINT length = 0;
    ASSERT_TRUE(
        VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);
}

TEST(VersionInfo, FileWithoutOneGivesEmptyStrings)
{
    const std::string path = besideThisProgram("logging_test_plain.txt");
    std::ofstream(path) << "no resources here";
    EXPECT_STREQ(logging::VersionInfo(path.c_str()).stringValue("FileDescription"), "");
    DeleteFileA(path.c_str());
    EXPECT_STREQ(logging::VersionInfo("C:\\no\\such\\file.exe").stringValue("FileDescription"), "");
}

TEST(VersionInfo, OwnModuleIsThisProgram)
{
    char path[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    EXPECT_STREQ(logging::ownModulePath(), path);
    EXPECT_EQ(logging::ownModulePath(), logging::ownModulePath());
}

// The event viewer formats each record with the program's message table:
// exactly three entries, each the inserted text and CR LF.
TEST(MessageTable, ThreeMessagesShowingTheTextUnchanged)
{
    const std::string path = besideThisProgram("OstrelService.exe");
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    HRSRC resource = FindResourceExA(module, MAKEINTRESOURCEA(11) /* RT_MESSAGETABLE */, MAKEINTRESOURCEA(1),
                                     MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(resource, nullptr);
    const auto* data = static_cast<const MESSAGE_RESOURCE_DATA*>(LockResource(LoadResource(module, resource)));
    ASSERT_NE(data, nullptr);
    std::vector<DWORD> identifiers;
    for (DWORD b = 0; b < data->NumberOfBlocks; ++b) {
        const MESSAGE_RESOURCE_BLOCK& block = data->Blocks[b];
        const auto* entry = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY*>(reinterpret_cast<const char*>(data) +
                                                                            block.OffsetToEntries);
        for (DWORD id = block.LowId; id <= block.HighId; ++id) {
            identifiers.push_back(id);
            EXPECT_EQ(entry->Flags, 1u) << "not Unicode: " << std::hex << id;
            EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(entry->Text)), L"%1\r\n") << std::hex << id;
            entry = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY*>(reinterpret_cast<const char*>(entry) +
                                                                    entry->Length);
        }
    }
    EXPECT_EQ(identifiers, (std::vector<DWORD>{0x00070001u, 0x80070002u, 0xC0070003u}));

    for (const DWORD id : identifiers) {
        const char* inserts[] = {"[Ostrel::Service::run] Ostrel started"};
        char text[256] = {};
        const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id,
                                            MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text,
                                            reinterpret_cast<va_list*>(const_cast<char**>(inserts)));
        EXPECT_NE(length, 0u) << GetLastError();
        EXPECT_STREQ(text, "[Ostrel::Service::run] Ostrel started\r\n");
    }
    FreeLibrary(module);
}

TEST(LogStatement, WritesAndReturnsAtEveryLevel)
{
    testing::internal::CaptureStdout();
    for (unsigned level : {0u, 1u, 2u, 3u, 4u, 7u})
        LOG_AT(level, "level %u says %s", level, "%n");
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(output.find("): <unknown>: ["), std::string::npos) << output;
    EXPECT_NE(output.find("LogStatement_WritesAndReturnsAtEveryLevel_Test::TestBody] : level 7 says %n"),
              std::string::npos)
        << output;
}

}  // namespace
