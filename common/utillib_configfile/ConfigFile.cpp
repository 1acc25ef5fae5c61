#include "ConfigFile.h"

#include <boost/throw_exception.hpp>

#include <stdexcept>

namespace {

win32_file::timeout waitFor(C_ConfigFile::Wait wait)
{
    return wait == C_ConfigFile::Wait::whileHeld ? win32_file::timeout()
                                                 : win32_file::timeout(boost::chrono::milliseconds(0));
}

// The whole content of the device's file, read from offset 0 in as few
// reads as its size allows.
std::string readAll(win32_file::device device)
{
    device.seek(0, std::ios_base::beg);
    std::string text;
    char block[64 * 1024];
    for (std::streamsize got; (got = device.read(block, sizeof block)) > 0;)
        text.append(block, static_cast<std::size_t>(got));
    return text;
}

// Ends the file at `size`: at the handle's position, which the seek sets.
void cutAt(fileUpdater& updater, boost::uint64_t size)
{
    updater.device().seek(static_cast<boost::iostreams::stream_offset>(size), std::ios_base::beg);
    updater.truncate();
}

// Runs `undo` after a failure of `step`, then lets the failure go on; a
// failure of the undo itself is dropped, it must not hide the first one.
template <class Step, class Undo>
void undoOnFailure(Step step, Undo undo)
{
    try {
        step();
    } catch (...) {
        try {
            undo();
        } catch (...) {
        }
        throw;
    }
}

// Replaces the file's content by a text, so that the file reads, whatever
// fails and whenever the process is killed, as the old text or the new one
// (perhaps followed by blank lines, which the grammar skips):
//  - a longer text first takes its room: blank lines are appended to the old
//    text up to the new length. A full disk fails there, before any byte of
//    the old text changes, and the file is cut back;
//  - the text then goes over the old one in one write, a shorter one padded
//    with blank lines up to the old end, and is cut after it. Should that
//    write fail or store only part of its bytes, the old text is written
//    back into the room it had.
void writeWhole(const std::string& text, fileUpdater& updater)
{
    // Seeking writes out anything the stream still buffers; a stream left
    // failed by a caller would skip it.
    std::iostream& file = updater.stream();
    file.clear();
    file.seekp(0);
    if (file.fail())
        boost::throw_exception(std::ios_base::failure("INI file cannot be rewound"), BOOST_CURRENT_LOCATION);
    const std::string old = readAll(updater.device());
    if (text.size() > old.size())
        undoOnFailure([&] { updater.write(old.size(), withBlankLinesTo(std::string(), text.size() - old.size())); },
                      [&] { cutAt(updater, old.size()); });
    undoOnFailure(
        [&] {
            updater.write(0, withBlankLinesTo(text, old.size()));
            if (text.size() < old.size())
                cutAt(updater, text.size());
        },
        [&] {
            updater.write(0, old);
            cutAt(updater, old.size());
        });
}

}  // namespace

C_ConfigFile::C_ConfigFile(const std::string& path, unsigned mode, Wait wait)
    : handle(win32_file::id{boost::filesystem::path(path)},
             (mode & (modeUpdate | modeExisting)) == modeUpdate ? win32_file::disposition::open_always
                                                                : win32_file::disposition::open_existing,
             (mode & modeUpdate) ? win32_file::rights::read_write
             : (mode & modeRead) ? win32_file::rights::read
                                 : win32_file::rights::none,
             waitFor(wait))
{
    if (mode & modeUpdate)
        exclusiveUpdater.reset(new fileUpdater(handle, waitFor(wait)));
    else
        sharedReader.reset(new fileReader(handle, waitFor(wait)));
    if (!(mode & modeNoLoad))
        reload();
}

C_ConfigFile::~C_ConfigFile() = default;

void C_ConfigFile::reload()
{
    parse(readText());
}

std::string C_ConfigFile::readText()
{
    // Straight from the device: through the stream the text would arrive in
    // one ReadFile per 4 KB. The stream itself never reads, so it holds no
    // stale buffer.
    return readAll(sharedReader ? sharedReader->device() : exclusiveUpdater->device());
}

void C_ConfigFile::commit(Durability durability)
{
    commitText(render(), durability);
}

void C_ConfigFile::commitText(const std::string& text, Durability durability)
{
    writeWhole(text, updater());
    if (durability == Durability::durable)
        exclusiveUpdater->flush();
}

void C_ConfigFile::flush()
{
    updater().flush();
}

fileUpdater& C_ConfigFile::updater()
{
    if (!exclusiveUpdater)
        boost::throw_exception(std::logic_error("C_ConfigFile::commit: the file is not open for update"),
                               BOOST_CURRENT_LOCATION);
    return *exclusiveUpdater;
}

void C_CfgFileSnapshot::saveAs(const std::wstring& path) const
{
    win32_file::handle_lock handle(win32_file::id{path}, win32_file::disposition::open_always,
                                   win32_file::rights::read_write);
    fileUpdater updater(handle);
    writeWhole(render(), updater);
}
