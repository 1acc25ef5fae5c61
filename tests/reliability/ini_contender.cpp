// ini_contender: another program that shares logger.ini with the service.
// For the given number of seconds it takes the exclusive lock of the whole
// file (waiting while the service holds it), keeps it for a random span,
// and rewrites the file with the counter "Writes" of its section
// [Contender] raised by one and the key "Stamp" of [General] replaced;
// then it lets go for a random span. Every time it reads the file it checks
// that its last write is still there, and counts the times another writer
// changed the file since (the two writers overlapped).
//
// Usage: ini_contender <path> <seconds> <seed>
// Prints "writes <n> lost <m> foreign <k>" and exits 0, or 2 when the file
// could not be used at all.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "handle/KernelHandle.h"

namespace {

bool readAll(HANDLE file, std::string& text)
{
    text.assign(256 * 1024, '\0');
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    DWORD got = 0;
    if (!ReadFile(file, &text[0], DWORD(text.size()), &got, nullptr))
        return false;
    text.resize(got);
    return true;
}

// Replaces the value of the first "key=" line after the header line; false
// when the section or key is not there.
bool replaceValue(std::string& text, const std::string& header, const std::string& key, const std::string& value,
                  std::string* old = nullptr)
{
    const std::size_t section = text.find(header + "\r\n");
    if (section == std::string::npos)
        return false;
    const std::size_t at = text.find("\r\n" + key + "=", section);
    const std::size_t next = text.find("\r\n[", section + 1);
    if (at == std::string::npos || (next != std::string::npos && at > next))
        return false;
    const std::size_t begin = at + 3 + key.size();
    const std::size_t end = text.find("\r\n", begin);
    if (old)
        *old = text.substr(begin, end - begin);
    text.replace(begin, end - begin, value);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    const std::string path = argv[1];
    const DWORD runMs = DWORD(std::atof(argv[2]) * 1000);
    std::mt19937 random(unsigned(std::atol(argv[3])));
    std::uniform_int_distribution<int> spanMs(0, 300);

    const KernelHandle owner(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!owner)
        return 2;
    const HANDLE file = owner.get();
    long writes = 0, lost = 0, foreign = 0;
    std::string ownText;  // what this program wrote last
    const DWORD start = GetTickCount();
    std::string text;
    while (GetTickCount() - start < runMs) {
        OVERLAPPED whole = {};
        if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 0xFFFFFFFF, 0xFFFFFFFF, &whole))
            return 2;
        Sleep(spanMs(random));
        std::string seen;
        if (!readAll(file, text))
            return 2;
        foreign += writes > 0 && text != ownText;
        if (!replaceValue(text, "[Contender]", "Writes", std::to_string(writes + 1), &seen))
            return 2;
        lost += seen != std::to_string(writes);
        replaceValue(text, "[General]", "Stamp", std::to_string(GetTickCount()));
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        DWORD written = 0;
        if (!WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr) || written != text.size() ||
            !SetEndOfFile(file))
            return 2;
        ++writes;
        ownText = text;
        UnlockFileEx(file, 0, 0xFFFFFFFF, 0xFFFFFFFF, &whole);
        Sleep(spanMs(random));
    }
    std::printf("writes %ld lost %ld foreign %ld\n", writes, lost, foreign);
    return 0;
}
