#include "ConfigFile.h"

#include <boost/throw_exception.hpp>

#include <stdexcept>

namespace {

win32_file::timeout waitFor(bool wait)
{
    return wait ? win32_file::timeout() : win32_file::timeout(boost::chrono::milliseconds(0));
}

// Replaces the file's content by a text.
void writeWhole(const std::string& text, fileUpdater& updater)
{
    // Seeking writes out anything the stream still buffers and puts the
    // handle at offset 0; a stream left failed by a caller would skip it.
    std::iostream& file = updater.stream();
    file.clear();
    file.seekp(0);
    if (file.fail())
        boost::throw_exception(std::ios_base::failure("INI file cannot be rewound"), BOOST_CURRENT_LOCATION);
    const boost::uint64_t oldSize = updater.size();
    win32_file::device device = updater.device();
    // One write straight to the device: through the stream's 4 KB buffer the
    // text would reach the file in one WriteFile per buffer. A text at least
    // as long as the old one leaves nothing to cut.
    if (text.size() >= oldSize) {
        device.write(text.data(), static_cast<std::streamsize>(text.size()));
        return;
    }
    // A process killed between the write and the cut would leave the tail
    // of the old text after a shorter new one, broken lines that neither we
    // nor the logging application could read: the bytes up to the old end
    // are written as blank lines in the same write.
    const std::string padded = withBlankLinesTo(text, static_cast<std::size_t>(oldSize));
    device.write(padded.data(), static_cast<std::streamsize>(padded.size()));
    device.seek(static_cast<boost::iostreams::stream_offset>(text.size()), std::ios_base::beg);
    updater.truncate();
}

}  // namespace

C_ConfigFile::C_ConfigFile(const std::string& path, unsigned mode, bool wait, int noLoad)
    : handle(win32_file::id{boost::filesystem::path(path)}, true, (mode & modeUpdate) != 0, (mode & modeRead) != 0,
             (mode & modeUpdate) != 0, waitFor(wait))
{
    if (mode & modeUpdate)
        exclusiveUpdater.reset(new fileUpdater(handle, waitFor(wait)));
    else
        sharedReader.reset(new fileReader(handle, waitFor(wait)));
    if (!(mode & modeNoLoad) && noLoad == 0)
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
    win32_file::device device = sharedReader ? sharedReader->device() : exclusiveUpdater->device();
    device.seek(0, std::ios_base::beg);
    std::string text;
    char block[64 * 1024];
    for (std::streamsize got; (got = device.read(block, sizeof block)) > 0;)
        text.append(block, static_cast<std::size_t>(got));
    return text;
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
    win32_file::handle_lock handle(win32_file::id{path}, true, true, true, true);
    fileUpdater updater(handle);
    writeWhole(render(), updater);
}
