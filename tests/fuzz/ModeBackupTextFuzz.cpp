// libFuzzer target for the backup file's text. Any bytes either are refused
// as damaged, or read into a tree that, written again, reads back the same
// and is written the same once more. And the bytes cut into three texts of
// a record come back the same through the file, which holds no byte an XML
// reader refuses. A crash, a hang, a sanitizer report or another exception
// is a fault.
// Built and run by scripts/fuzz.sh; not part of the test suite.
#include "Ostrel/backup_text/ModeBackupText.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Control bytes other than tab and line ends are what XML 1.0 never holds;
// a NUL is what made earlier files unreadable.
bool noControlBytes(const std::string& file)
{
    for (const char c : file)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return false;
    return true;
}

void checkRecordTexts(const std::string& bytes)
{
    const std::size_t first = bytes.size() / 3, second = bytes.size() * 2 / 3;
    boost::property_tree::ptree tree;
    tree.put("Line01.current_mode", bytes.substr(0, first));
    tree.put("Line01.saved_mode", bytes.substr(first, second - first));
    tree.put("Line01.replaced_mode", bytes.substr(second));
    const std::string file = Ostrel::backupFileText(tree);
    if (!noControlBytes(file) || Ostrel::backupFileTree(file) != tree)
        std::abort();
}

void checkFile(const std::string& bytes)
{
    boost::property_tree::ptree tree;
    try {
        tree = Ostrel::backupFileTree(bytes);
    } catch (const Ostrel::DamagedBackupText&) {
        return;
    }
    const std::string written = Ostrel::backupFileText(tree);
    const boost::property_tree::ptree again = Ostrel::backupFileTree(written);  // a refusal escapes: a fault
    if (again != tree || Ostrel::backupFileText(again) != written)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    checkRecordTexts(bytes);
    checkFile(bytes);
    return 0;
}
