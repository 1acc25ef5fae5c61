#pragma once
// What the explorers of stops and I/O faults share: the logger.ini and the
// backup file their scenarios start from, and the check of what the
// start-up repair leaves in the Windows directory (every line in the mode
// it must end with, logger.ini readable with every section and key it had,
// the backup readable and without records).

#include <windows.h>

#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "Ostrel/modebackup/ModeBackup.h"
#include "support/BackupFileText.h"
#include "support/DamagedBackups.h"
#include "support/TestInputs.h"
#include "utillib_configfile/CfgFileSnapshot.h"

namespace repair {

const char* const backupName = "brevik_ostrel_saved_modes.bak";
using backupfile::declaration;

// The mode each line must end with, by section name.
using Modes = std::map<std::string, std::string>;

// Modes of differing lengths (an empty one among them), so that rewrites
// make logger.ini both shorter and longer.
const char* const ownModes[] = {"REC", "ALWAYS_RECORDING", "", "VOX", "M1", "X", "CNT", "REC"};
const char* const toggleModes[] = {"CNT", "ALWAYS_ON", "Y"};

inline std::string ownMode(int line)
{
    return ownModes[(line - 1) % 8];
}

inline std::string windowsPath(const std::string& name)
{
    return Ostrel::windowsDirectory() + name;
}

inline bool exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// logger.ini in the form the INI model writes, with other keys and comments.
// It ends with the last line's mode, so that the bytes a shorter rewrite
// leaves behind before the file is cut form a line of their own.
inline std::string loggerIni(const std::map<int, std::string>& modes)
{
    std::string text = "[General]\r\nStation=Crash FM\r\n\r\n[Other]\r\nKey=Value\r\n; lines below\r\n";
    for (const auto& line : modes)
        text += "\r\n[" + Ostrel::lineSectionName(line.first) + "]\r\nName=Studio " + std::to_string(line.first) +
                "\r\nPath=D:\\Logger\\" + std::to_string(line.first) + "\r\nMode=" + line.second + "\r\n";
    return text;
}

// Lines 1..lines in their own modes.
inline std::map<int, std::string> ownModesOf(int lines)
{
    std::map<int, std::string> modes;
    for (int line = 1; line <= lines; ++line)
        modes[line] = ownMode(line);
    return modes;
}

inline Modes bySection(const std::map<int, std::string>& modes)
{
    Modes named;
    for (const auto& line : modes)
        named[Ostrel::lineSectionName(line.first)] = line.second;
    return named;
}

// logger.ini and the backup as a run cut short leaves them, in the
// service's own file form: lines toggled, one recorded but not yet written,
// one switched twice and cut while the second mode was written.
struct CutShort {
    std::string ini, backup;
};

inline CutShort cutShort(int lines)
{
    std::map<int, std::string> shown;
    std::string backup = declaration;
    for (int line = 1; line <= lines; ++line) {
        const std::string section = Ostrel::lineSectionName(line);
        const std::string own = ownMode(line);
        std::string record = "<current_mode>CNT</current_mode><saved_mode>" + own + "</saved_mode>";
        switch (line % 3) {
        case 1:  // toggled
            shown[line] = "CNT";
            break;
        case 2:  // recorded, logger.ini not yet written
            shown[line] = own;
            break;
        case 0:  // switched again, cut while the new mode was written
            shown[line] = "Y";
            record += "<replaced_mode>Y</replaced_mode>";
            break;
        }
        backup += "<" + section + ">" + record + "</" + section + ">";
    }
    return {loggerIni(shown), backup};
}

inline std::size_t backupRecords(const std::string& text)
{
    std::istringstream in(text);
    boost::property_tree::ptree tree;
    boost::property_tree::read_xml(in, tree);
    return tree.size();
}

// What the repair left, against what it had to leave.
struct Findings {
    long linesLost = 0;          // lines not in their expected mode
    bool unparsable = false;     // logger.ini does not parse
    bool linesDropped = false;   // a section or key/value line of logger.ini is gone or changed
    bool backupDamaged = false;  // the backup does not parse, or was set aside as damaged
    std::size_t recordsLeft = 0;
    std::string problem;  // empty when all is well
};

// The key/value lines of each section, in order.
inline std::vector<std::pair<std::string, std::vector<C_CfgFileEntry>>> keyValues(const C_CfgFileSnapshot& ini)
{
    std::vector<std::pair<std::string, std::vector<C_CfgFileEntry>>> result;
    for (const C_CfgFileSection& section : ini.sections()) {
        result.emplace_back(section.name(), std::vector<C_CfgFileEntry>());
        for (const C_CfgFileEntry& entry : section.entries())
            if (entry.isKeyValue)
                result.back().second.push_back(entry);
    }
    return result;
}

// Looks at logger.ini and the backup in the Windows directory. `original`:
// logger.ini as the scenario began; every section and key/value line of it
// must still be there as it was, but for the modes of the expected lines.
inline Findings inspect(const Modes& expected, const std::string& original)
{
    Findings found;
    try {
        C_CfgFileSnapshot ini;
        ini.parse(readFileBytes(windowsPath("logger.ini")));
        for (const auto& line : expected) {
            const C_CfgFileSection* section = ini.findSection(line.first);
            const std::string mode = section ? section->getValueOr("Mode", "<no Mode key>") : "<no section>";
            if (mode != line.second) {
                ++found.linesLost;
                found.problem += " " + line.first + " shows " + mode + " instead of " + line.second + ";";
            }
        }
        C_CfgFileSnapshot had;
        had.parse(original);
        for (const auto& line : expected)
            if (C_CfgFileSection* section = had.findSection(line.first))
                section->setValue("Mode", line.second);
        if (keyValues(ini) != keyValues(had)) {
            found.linesDropped = true;
            found.problem += " logger.ini lost or changed lines:\n" + ini.render() + "\n";
        }
    } catch (const std::exception& e) {
        found.unparsable = true;
        found.problem += std::string(" logger.ini does not parse: ") + e.what() + ";";
    }
    try {
        if (!damagedBackups(Ostrel::windowsDirectory()).empty())
            throw std::runtime_error("kept as damaged");
        const std::string path = windowsPath(backupName);
        found.recordsLeft = exists(path) ? backupRecords(readFileBytes(path)) : 0;
        if (found.recordsLeft)
            found.problem += " the backup still records " + std::to_string(found.recordsLeft) + " line(s);";
    } catch (const std::exception& e) {
        found.backupDamaged = true;
        found.problem += std::string(" the backup does not parse: ") + e.what() + ";";
    }
    return found;
}

}  // namespace repair
