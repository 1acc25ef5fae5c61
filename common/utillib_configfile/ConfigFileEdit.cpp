#include "ConfigFileEdit.h"

#include "CfgRenderedText.h"

namespace {

// The threads of a process take turns on the same files (the service's
// logger.ini): one memory of the text last seen serves them all, and a file
// read again just as this process left it is compared, not checked again.
C_CfgRenderedLookup& lookup()
{
    static C_CfgRenderedLookup sharedLookup;
    return sharedLookup;
}

constexpr unsigned updateExisting = C_ConfigFile::modeRead | C_ConfigFile::modeUpdate | C_ConfigFile::modeExisting |
                                    C_ConfigFile::modeNoLoad;

}  // namespace

C_ConfigFileEdit::C_ConfigFileEdit(const std::string& path, C_ConfigFile::Wait wait)
    : file(path, updateExisting, wait), text(file.readText())
{
}

boost::optional<std::string> C_ConfigFileEdit::value(const std::string& section, const std::string& key)
{
    if (!modelEdited) {
        const C_CfgRenderedValue found = lookup().find(text, section, key);
        if (found.keyFound)
            return text.substr(found.valueBegin, found.valueEnd - found.valueBegin);
    }
    const C_CfgFileSection* parsedSection = model().findSection(section);
    if (!parsedSection)
        return boost::none;
    return parsedSection->getValue(key);
}

bool C_ConfigFileEdit::setValue(const std::string& section, const std::string& key, const std::string& value)
{
    if (!modelEdited && lookup().set(text, section, key, value)) {
        parsed = false;  // the model, if any, holds the text before this change
        edited = true;
        return true;
    }
    C_CfgFileSection* parsedSection = model().findSection(section);
    if (!parsedSection)
        return false;
    parsedSection->setValue(key, value);
    modelEdited = edited = true;
    return true;
}

void C_ConfigFileEdit::commit(C_ConfigFile::Durability durability)
{
    if (modelEdited)
        file.commit(durability);
    else if (edited)
        file.commitText(text, durability);
    else if (durability == C_ConfigFile::Durability::durable)
        file.flush();
}

C_CfgFileSnapshot& C_ConfigFileEdit::model()
{
    if (!parsed) {
        file.parse(text);
        parsed = true;
    }
    return file;
}
