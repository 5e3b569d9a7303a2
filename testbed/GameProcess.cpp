#include "GameProcess.h"

#include <cstdio>
#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>

extern char** environ;
#endif

namespace testbed {

namespace {

#ifdef _WIN32

std::wstring Wide(const std::string& text) {
    return std::filesystem::path(text).wstring();
}

// One argument as the C runtime splits a command line: in quotes, backslashes doubled where a
// quote or the closing quote follows them.
std::wstring Quoted(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

GameEnd Play(const std::vector<std::string>& arguments) {
    wchar_t self[MAX_PATH];
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) {
        return {2, "cannot name this program (error " + std::to_string(GetLastError()) + ")"};
    }
    std::wstring line = Quoted(self);
    for (const std::string& argument : arguments) {
        line += L" " + Quoted(Wide(argument));
    }
    // The table goes where ours goes, a pipe or a file as well as a console.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    HANDLE standard[3] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                          GetStdHandle(STD_ERROR_HANDLE)};
    for (HANDLE handle : standard) {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        }
    }
    startup.hStdInput = standard[0];
    startup.hStdOutput = standard[1];
    startup.hStdError = standard[2];
    // Under load, Wine at times loses a process it is starting and says ERROR_INTERNAL_ERROR: the
    // process ended before Wine had it running, so none of the game's code ran. Windows fails no
    // start that way. Such a start is tried again, a few times.
    PROCESS_INFORMATION process{};
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(self, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &process)) {
            break;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 3) {
            return {2, "cannot start the game's process (error " + std::to_string(error) + ")"};
        }
        Sleep(100);
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    // NTSTATUS error codes (0xC...) are the system ending a process that faulted.
    if ((code & 0xF0000000u) == 0xC0000000u) {
        char text[64];
        std::snprintf(text, sizeof text, "it ended with exception 0x%08lX",
                      static_cast<unsigned long>(code));
        return {static_cast<int>(code), text};
    }
    return {static_cast<int>(code), {}};
}

#else

GameEnd Play(const std::vector<std::string>& arguments) {
    std::error_code error;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
    if (error) {
        return {2, "cannot name this program (" + error.message() + ")"};
    }
    std::vector<char*> argv{const_cast<char*>(self.c_str())};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (const int failed =
            posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ)) {
        return {2, std::string("cannot start the game's process (") + strerror(failed) + ")"};
    }
    int status = 0;
    pid_t waited = 0;
    while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited < 0) {
        return {2, std::string("cannot wait for the game's process (") + strerror(errno) + ")"};
    }
    if (WIFSIGNALED(status)) {
        return {128 + WTERMSIG(status), std::string("it was ended by signal ") +
                                            std::to_string(WTERMSIG(status)) + " (" +
                                            strsignal(WTERMSIG(status)) + ")"};
    }
    return {WEXITSTATUS(status), {}};
}

#endif

}  // namespace

GameEnd PlayInAProcessOfItsOwn(const std::vector<std::string>& arguments) {
    std::fflush(nullptr);
    GameEnd end = Play(arguments);
    // A run ends with 0, 1 or 2; anything else is the process ending some other way (abort, an
    // uncaught exception), which the run itself never reports.
    if (end.problem.empty() && (end.code < 0 || end.code > 2)) {
        end.problem = "it ended with code " + std::to_string(end.code);
    }
    return end;
}

}  // namespace testbed
