#pragma once
// Holds a toggle of the real service (in this process or in another one) at
// a chosen moment, so that a stop or a kill can be aimed at it: a change
// of a line waiting for logger.ini, a change waiting to save the line's
// record while it holds logger.ini, or a revert between two lines.
//
// Two file_holder processes do it. One keeps the backup file open without
// sharing: the service's replace of the backup then fails and is retried
// (for as long as the service's backup wait allows), so each save waits
// with the new record in the temporary file. The other takes logger.ini's
// lock. Every step waits on what the files show.

#include <windows.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "Ostrel/modebackup/ModeBackup.h"
#include "support/Eventually.h"
#include "support/FileHolder.h"
#include "support/Timeouts.h"

// Options under which the service's save waits for a held backup file far
// longer than any test holds it, so that no test races the product's own
// wait.
inline Ostrel::ModeBackupOptions patientSaves()
{
    Ostrel::ModeBackupOptions options;
    options.backupWait = boost::chrono::milliseconds(timeouts::heldBackup);
    return options;
}

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
    // in the temporary file only; false when it was not seen in time. A
    // change holds logger.ini while its record is saved.
    bool saveHeld(const std::string& section)
    {
        return within([&] { return contains(backupPath + ".tmp", "<" + section + ">"); });
    }

    // Returns once the backup file holds the named line's record; false when
    // it was not seen in time.
    bool recorded(const std::string& section)
    {
        return within([&] { return contains(backupPath, "<" + section + ">"); });
    }

    // Takes logger.ini's lock, waiting for a change that holds it: every
    // later access of the service waits until releaseIni.
    void holdIni()
    {
        ini.require("open " + iniPath);
        ini.require("waitlock exclusive");
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
        holdIni();
        releaseSaves();
        return within([&] { return onlyNextIn(backupPath); });
    }

    // Lets the service at logger.ini again.
    void releaseIni() { ini.require("close"); }

private:
    // Generous for a loaded machine; the steps themselves take milliseconds.
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
