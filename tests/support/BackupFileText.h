#pragma once
// What the tests know of the backup file: its bytes as the service writes
// them, spelled out so that a change of the service's form fails the tests,
// and the lines whose records a file holds, read with the service's own
// reader.

#include <set>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "Ostrel/backup_text/ModeBackupText.h"

namespace backupfile {

// A file without records: the declaration line as the XML writer forms it,
// its line feed stored as CR LF.
const std::string declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

// One line's record as the service writes it; an empty mode is an empty
// element.
inline std::string record(const std::string& section, const std::string& current, const std::string& saved)
{
    const auto element = [](const std::string& name, const std::string& text) {
        return text.empty() ? "<" + name + "/>" : "<" + name + ">" + text + "</" + name + ">";
    };
    return "<" + section + ">" + element("current_mode", current) + element("saved_mode", saved) + "</" + section + ">";
}

// The names of the records the file's bytes hold ("Line03", ...). Throws
// Ostrel::DamagedBackupText for bytes the service would set aside.
inline std::set<std::string> recordsIn(const std::string& bytes)
{
    std::set<std::string> names;
    for (const auto& child : Ostrel::backupFileTree(bytes))
        names.insert(child.first);
    return names;
}

}  // namespace backupfile
