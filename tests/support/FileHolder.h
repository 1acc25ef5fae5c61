#pragma once
// Drives a file_holder process (file_holder.cpp describes its commands): a
// real second process that opens, denies or locks a file on command. The
// helper is found in the folder of the running program; a target that uses
// it depends on the file_holder target. Destruction closes the helper's input,
// so it releases whatever it holds and exits.

#include <stdexcept>
#include <string>

#include "support/LiveProcess.h"

class FileHolder {
public:
    FileHolder() : helper(L"\"" + besideThisProgram(L"file_holder.exe") + L"\"", withInput()) {}

    ~FileHolder()
    {
        helper.closeInput();
        DWORD exitCode = 0;
        helper.finish(exitWaitMilliseconds, &exitCode);
    }

    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;

    // Sends a command without waiting for its answer.
    void send(const std::string& command) { helper.writeInput(command + "\n"); }

    // The next answer line ("ok", "ok <n>", "waiting" or "error <code>");
    // throws std::runtime_error when the helper ended without one.
    std::string reply() { return helper.nextLine(); }

    std::string command(const std::string& command)
    {
        send(command);
        return reply();
    }

    // Runs a command that must succeed; throws with its answer otherwise.
    std::string require(const std::string& command)
    {
        const std::string answer = this->command(command);
        if (answer.compare(0, 2, "ok") != 0)
            throw std::runtime_error("file_holder: " + command + ": " + answer);
        return answer;
    }

private:
    static LaunchOptions withInput()
    {
        LaunchOptions options;
        options.inputPipe = true;
        return options;
    }

    // Long enough for a helper that is busy answering its last command; a
    // helper still running then is ended.
    static constexpr DWORD exitWaitMilliseconds = 10000;

    LiveProcess helper;
};
