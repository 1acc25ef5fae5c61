#pragma once
// What the reliability tests share: the real logger.ini and backup file of
// the build's Wine prefix and the service's real configuration key, each
// owned for the test (ScopedLoggerIni, ScopedConfigurationKey), a look at the
// modes logger.ini shows and the lines the backup file still records, and
// the parameters that the long forms raise.

#include <windows.h>

#include <map>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>

#include "Ostrel/settings/Settings.h"
#include "support/BackupFileText.h"
#include "support/ConfigurationKey.h"
#include "support/LoggerIniFixture.h"
#include "support/RegistryFixture.h"
#include "support/ServiceProcess.h"
#include "support/SettingsSamples.h"
#include "utillib_configfile/CfgFileSnapshot.h"

class ReliabilityFixture : public ::testing::Test, protected ScopedConfigurationKey, protected ScopedLoggerIni {
protected:
    // Switches the stored linesets on (their number) or off (0) while the
    // subkeys stay; the engine's change test picks it up within a pass.
    static void setCount(DWORD count) { setDword(L"", L"Count", count); }

    // logger.ini of eight lines whose modes differ in length (an empty one
    // among them), with other keys and comments, written in the form the INI
    // model renders: with every mode back it is the original byte for byte.
    static std::string eightLineIni()
    {
        const char* const modes[] = {"REC", "VOX", "", "ALWAYS_RECORDING", "REC", "M1", "CNT", "X"};
        std::string text = "[General]\r\nStation=Reliability FM\r\nStamp=0\r\n; lines below\r\n\r\n";
        for (int line = 1; line <= 8; ++line) {
            text += "[Line0" + std::to_string(line) + "]\r\nName=Studio " + std::to_string(line) + "\r\n";
            text += std::string("Mode=") + modes[line - 1] + "\r\nPath=D:\\Logger\\" + std::to_string(line) +
                    "\r\n\r\n";
        }
        return text + "[Other]\r\nKey=Value\r\n";
    }

    // Sixty linesets, one on each second of the minute, each every minute
    // with an interval of 2 s over two of the eight lines: toggles always
    // run, overlap, and switch lines that another toggle holds. Stored with
    // Count 0, so that setCount(togglingLinesets) switches them on.
    static constexpr DWORD togglingLinesets = 60;
    static void storeTogglingLinesets()
    {
        auto settings = boost::make_shared<Ostrel::Settings>();
        const char* const modes[] = {"CNT", "ALWAYS_ON", "Y"};
        const boost::posix_time::ptime minute(boost::gregorian::date(2026, 1, 1));
        for (DWORD k = 0; k < togglingLinesets; ++k) {
            settings->linesets.push_back(minutelyLineset(
                "Toggle " + std::to_string(k), {std::int32_t(k % 8 + 1), std::int32_t((k + 3) % 8 + 1)}, modes[k % 3],
                boost::posix_time::seconds(2), minute + boost::posix_time::seconds(k) + boost::posix_time::minutes(1)));
        }
        Ostrel::saveSettings(settings);
        setCount(0);
    }

    // Mode of every line section of logger.ini (key: the section name).
    // Throws Configuration::SyntaxError when the file no longer parses.
    std::map<std::string, std::string> iniModes() const
    {
        C_CfgFileSnapshot snapshot;
        snapshot.parse(ini());
        std::map<std::string, std::string> modes;
        for (const C_CfgFileSection& section : snapshot.sections())
            if (section.name().compare(0, 4, "Line") == 0)
                modes[section.name()] = section.getValueOr("Mode", "<no Mode key>");
        return modes;
    }

    // How many records the backup file holds (none without a file). Throws
    // while the file cannot be read.
    std::size_t backupRecords() const { return backupfile::recordsIn(readExistingFileBytes(backupPath)).size(); }

    // How many lines show a mode other than the original one (a missing
    // section counts as lost).
    static int linesOff(const std::map<std::string, std::string>& original,
                        const std::map<std::string, std::string>& now)
    {
        int off = 0;
        for (const auto& line : original) {
            const auto found = now.find(line.first);
            off += found == now.end() || found->second != line.second;
        }
        return off;
    }
};
