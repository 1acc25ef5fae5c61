#include "Ostrel/modebackup/LoggerIniEdit.h"

#include <algorithm>

#include "logging/Log.h"

namespace Ostrel {

namespace {

const char* const modeKey = "Mode";

}  // namespace

std::string lineSectionName(int line)
{
    // What "Line%02d" gives, without a formatting stream on every access.
    const std::string number = std::to_string(line);
    return (number.size() < 2 ? "Line0" : "Line") + number;
}

std::string modeAsStored(const std::string& mode)
{
    return mode.substr(0, mode.find_last_not_of(" \t") + 1);
}

std::string missingSectionMessage(int line)
{
    return "Can't find section " + lineSectionName(line) + ". Can't set mode for line " + std::to_string(line);
}

LoggerIniEdit::LoggerIniEdit(const std::string& iniPath, C_ConfigFile::Wait wait) : file(iniPath, wait) {}

boost::optional<std::string> LoggerIniEdit::mode(int line)
{
    return file.value(lineSectionName(line), modeKey);
}

bool LoggerIniEdit::setMode(int line, const std::string& mode)
{
    return file.setValue(lineSectionName(line), modeKey, mode);
}

std::string getLineModeFromLoggerINI(int line, const std::string& defaultMode, const std::string& iniPath)
{
    LoggerIniEdit edit(iniPath);
    if (const boost::optional<std::string> mode = edit.mode(line))
        return *mode;
    LOG_ERROR("%s", missingSectionMessage(line).c_str());
    return defaultMode;
}

void setLineModeInLoggerINI(int line, const std::string& mode, const std::string& iniPath,
                            C_ConfigFile::Durability durability)
{
    LoggerIniEdit edit(iniPath);
    if (!edit.setMode(line, mode)) {
        LOG_ERROR("%s", missingSectionMessage(line).c_str());
        return;
    }
    edit.commit(durability);
}

bool revertLineInLoggerINI(int line, const std::string& saved, const std::vector<std::string>& written,
                           const std::string& iniPath, C_ConfigFile::Wait wait)
{
    LoggerIniEdit edit(iniPath, wait);
    const boost::optional<std::string> shown = edit.mode(line);
    if (!shown)
        LOG_ERROR("%s", missingSectionMessage(line).c_str());
    // Another mode in logger.ini was set by somebody else since; it stands.
    const bool reverted = shown && std::find(written.begin(), written.end(), *shown) != written.end() &&
                          edit.setMode(line, saved);
    // Either way logger.ini goes to disk before the record is dropped: what
    // it shows instead may be another program's write still cached.
    edit.commit(C_ConfigFile::Durability::durable);
    return reverted;
}

}  // namespace Ostrel
