#pragma once
// Drives a file_holder process (file_holder.cpp describes its commands): a
// real second process that opens, denies or locks a file on command. The
// helper is found in the folder of the running program; a target that uses
// it depends on the file_holder target. Destruction closes the helper's input,
// so it releases whatever it holds and exits.

#include <windows.h>

#include <stdexcept>
#include <string>

#include "support/ProgramFolder.h"

class FileHolder {
public:
    FileHolder()
    {
        SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE childInput = INVALID_HANDLE_VALUE;
        HANDLE childOutput = INVALID_HANDLE_VALUE;
        if (!CreatePipe(&childInput, &input_, &inheritable, 0) ||
            !CreatePipe(&output_, &childOutput, &inheritable, 0))
            throw std::runtime_error("file_holder: CreatePipe failed");
        SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);

        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childInput;
        startup.hStdOutput = childOutput;
        startup.hStdError = childOutput;
        PROCESS_INFORMATION process = {};
        const std::string helper = besideThisProgram(std::string("file_holder.exe"));
        std::string commandLine = "\"" + helper + "\"";
        const BOOL started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                            nullptr, &startup, &process);
        CloseHandle(childInput);
        CloseHandle(childOutput);
        if (!started)
            throw std::runtime_error("file_holder: cannot start " + helper);
        CloseHandle(process.hThread);
        process_ = process.hProcess;
    }

    ~FileHolder()
    {
        CloseHandle(input_);
        if (WaitForSingleObject(process_, exitWaitMs) != WAIT_OBJECT_0)
            TerminateProcess(process_, 1);
        CloseHandle(process_);
        CloseHandle(output_);
    }

    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;

    // Sends a command without waiting for its answer.
    void send(const std::string& command)
    {
        const std::string line = command + "\n";
        DWORD written = 0;
        if (!WriteFile(input_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr))
            throw std::runtime_error("file_holder: cannot send " + command);
    }

    // The next answer line ("ok", "ok <n>" or "error <code>").
    std::string reply()
    {
        std::string line;
        char c = 0;
        DWORD read = 0;
        while (ReadFile(output_, &c, 1, &read, nullptr) && read == 1 && c != '\n')
            if (c != '\r')
                line += c;
        return line;
    }

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
    // Long enough for a helper that is busy answering its last command.
    static constexpr DWORD exitWaitMs = 10000;


    HANDLE input_ = INVALID_HANDLE_VALUE;
    HANDLE output_ = INVALID_HANDLE_VALUE;
    HANDLE process_ = INVALID_HANDLE_VALUE;
};
