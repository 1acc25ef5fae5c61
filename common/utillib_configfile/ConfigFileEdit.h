#pragma once
// One edit of an existing INI file as one transaction: the file is opened
// (never created), locked exclusively and read whole at construction, and
// stays locked until destruction, so that nobody changes it between what an
// edit reads and what it writes. Values are read and set on the text in
// memory; commit() writes the edited text, the file reading as the old text
// or the new one at every moment (C_ConfigFile::commit). Destroyed without
// commit, it leaves the file as it was.
//
// Results are those of the INI model (CfgFileSnapshot.h) whatever the text.
// A text in the form the model writes, as this library leaves it, is read
// and changed in place without building the model; which way serves a call
// is this class's business.

#include "ConfigFile.h"

#include <boost/optional.hpp>

#include <string>

class C_ConfigFileEdit {
public:
    // Opens, locks and reads the file, waiting as `wait` says. Throws as
    // C_ConfigFile; a missing file throws system_error "File open failed"
    // (error 2) and is not created.
    explicit C_ConfigFileEdit(const std::string& path, C_ConfigFile::Wait wait = C_ConfigFile::Wait::whileHeld);

    C_ConfigFileEdit(const C_ConfigFileEdit&) = delete;
    C_ConfigFileEdit& operator=(const C_ConfigFileEdit&) = delete;

    // The key's value in the first section called `section`, as edited so
    // far; none when there is no such section. Throws
    // Configuration::KeyNotFoundError when the section has no such key,
    // Configuration::SyntaxError when the text does not parse.
    boost::optional<std::string> value(const std::string& section, const std::string& key);

    // Sets the key in the first section called `section` (appended at its
    // end when missing); commit writes it. False, with nothing changed, when
    // there is no such section. Throws Configuration::SyntaxError, and
    // Configuration::Exception for a key or value holding a CR or LF.
    bool setValue(const std::string& section, const std::string& key, const std::string& value);

    // Brings what the system caches of the file, whoever wrote it, to disk.
    // Throws system_error "File flush failed".
    void flush() { file.flush(); }

    // Writes the edited text when a value was set. `durable` also brings the
    // file to disk before it returns, the lock still held, including what
    // the system caches of it from anyone's earlier write; with nothing set
    // that flush is all it does. Throws as C_ConfigFile::commit and flush.
    void commit(C_ConfigFile::Durability durability);

private:
    // The model of the text, parsed once when first needed.
    C_CfgFileSnapshot& model();

    C_ConfigFile file;
    std::string text;
    bool parsed = false;       // the model holds the text
    bool modelEdited = false;  // a value was set in the model: it, not text, is what commit writes
    bool edited = false;       // a value was set
};
