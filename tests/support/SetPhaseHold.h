#pragma once
// Holds a toggle of the real service (in this process or in another one) in
// the middle of its setting, just before it writes a chosen line's mode
// into logger.ini, or in the middle of its revert, so that a stop can be
// aimed at that moment.
//
// Two file_holder processes do it. One keeps the backup file open without
// sharing: the service's replace of the backup then fails and is retried
// (for up to two seconds), so each save waits with the new record in the
// temporary file. The other takes logger.ini's lock. stopBefore(line) waits
// until the save of the line's record is held, takes logger.ini, lets the
// save go (the service then waits for logger.ini to write the mode) and
// holds the next save again. Every step waits on what the files show.

#include <windows.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "support/Eventually.h"
#include "support/FileHolder.h"

class SetPhaseHold {
public:
    SetPhaseHold(std::string iniPath, std::string backupPath)
        : iniPath(std::move(iniPath)), backupPath(std::move(backupPath))
    {
    }

    // Every later save of the backup waits. The backup file must exist.
    void holdSaves() { saves.require("deny " + backupPath); }
    void releaseSaves() { saves.require("close"); }

    // Returns once the save of the named line's record waits, the record
    // in the temporary file only; false when it was not seen in time.
    bool saveHeld(const std::string& section)
    {
        return within([&] { return contains(backupPath + ".tmp", "<" + section + ">"); });
    }

    // Returns once the service waits for logger.ini to write the mode of the
    // line whose section is named, the line's record saved; false when the
    // save was not seen in time.
    bool stopBefore(const std::string& section)
    {
        const std::string record = "<" + section + ">";
        if (!saveHeld(section))
            return false;
        ini.require("open " + iniPath);
        ini.require("waitlock exclusive");
        releaseSaves();
        if (!within([&] { return contains(backupPath, record); }))
            return false;
        holdSaves();
        return true;
    }

    // With saves held since before the revert began: returns once the revert
    // waits for logger.ini to put back the line of section `next`, the line
    // of `reverted` written back and the removal of its record saved; false
    // when that was not seen in time. logger.ini stays held.
    bool revertWaitsBetween(const std::string& reverted, const std::string& next)
    {
        const std::string gone = "<" + reverted + ">", left = "<" + next + ">";
        const auto onlyNextIn = [&](const std::string& path) { return contains(path, left) && !contains(path, gone); };
        if (!within([&] { return onlyNextIn(backupPath + ".tmp"); }))
            return false;
        ini.require("open " + iniPath);
        ini.require("waitlock exclusive");
        releaseSaves();
        return within([&] { return onlyNextIn(backupPath); });
    }

    // Lets the service at logger.ini again.
    void releaseIni() { ini.require("close"); }

private:
    // Generous for a loaded machine; a save is held for up to two seconds
    // only, so the steps themselves take milliseconds.
    static bool within(const std::function<bool()>& condition) { return eventually(condition, 30000, 2); }

    static bool contains(const std::string& path, const std::string& text)
    {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return bytes.find(text) != std::string::npos;
    }

    std::string iniPath;
    std::string backupPath;
    FileHolder saves;
    FileHolder ini;
};
