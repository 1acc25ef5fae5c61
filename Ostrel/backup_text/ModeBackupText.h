#pragma once
// The backup file's bytes and the record tree they hold, both ways.
//
// The file is the XML that boost::property_tree writes (declaration line,
// then the elements without indentation, line ends CR LF), and a text is
// stored as that writer forms it whenever it is UTF-8 text that XML 1.0 can
// carry. Any other text (a NUL or another control byte, bytes that are no
// UTF-8, an encoded surrogate) is stored percent-escaped in an element marked
// escape="percent", so that every byte string comes back as it was and the
// file stays XML. Files written before the escape existed read as they
// always did.

#include <stdexcept>
#include <string>

#include <boost/property_tree/ptree.hpp>

namespace Ostrel {

// What the backup file's bytes cannot be taken for: no well-formed backup,
// nesting deeper than a record ever is, or an escaped text that does not
// decode.
class DamagedBackupText : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The bytes of the backup file for the tree. Every text of the tree (element
// data) comes back the same from backupFileTree.
std::string backupFileText(const boost::property_tree::ptree& tree);

// The tree the backup file's bytes hold, CR LF read as LF. Throws
// DamagedBackupText and nothing else for bytes it cannot take; any input is
// read in time linear in its length and stack depth bounded by a constant.
boost::property_tree::ptree backupFileTree(const std::string& bytes);

}  // namespace Ostrel
