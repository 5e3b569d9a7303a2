#include "log/LogFile.h"

#include <cstdio>
#include <string_view>

#include "Win32.h"
#include "log/Log.h"

namespace taviro::log {

namespace {

// One of the log's file names, wide as the file functions take it.
platform::Path Wide(std::string_view name) {
    return {name.begin(), name.end()};
}

// Every folder of `folder` that is missing, outermost first. Failures are left to the caller's
// look at the folder afterwards: one that is there already fails too, and is what was wanted.
void CreateFolders(const platform::Path& folder) {
    for (std::size_t at = folder.find_first_of(L"\\/", 1); at != platform::Path::npos;
         at = folder.find_first_of(L"\\/", at + 1)) {
        if (folder[at - 1] != L'\\' && folder[at - 1] != L'/' && folder[at - 1] != L':') {
            CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
        }
    }
    CreateDirectoryW(folder.c_str(), nullptr);
}

// The folder's absolute path, with "." and ".." resolved; empty, with the system's error set,
// when it cannot be had.
platform::Path FullPath(const platform::Path& folder) {
    const DWORD needed = GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return {};
    }
    platform::Path full(needed, L'\0');
    const DWORD length = GetFullPathNameW(folder.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        return {};
    }
    full.resize(length);
    return full;
}

// Takes the last `size` bytes off the end of the file at `path`. The append-only handle may not
// cut its own file, so a handle for writing anywhere does it.
void CutBack(const platform::Path& path, DWORD size) {
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    LARGE_INTEGER end{};
    if (GetFileSizeEx(handle, &end) && end.QuadPart >= static_cast<LONGLONG>(size)) {
        LARGE_INTEGER cut{};
        cut.QuadPart = end.QuadPart - static_cast<LONGLONG>(size);
        if (SetFilePointerEx(handle, cut, nullptr, FILE_BEGIN)) {
            SetEndOfFile(handle);
        }
    }
    CloseHandle(handle);
}

// The system's words for an error code, without the full stop.
std::string ErrorText(unsigned long code) {
    wchar_t words[256];
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, static_cast<DWORD>(code), 0, words, sizeof words / sizeof words[0], nullptr);
    std::string text = platform::Utf8({words, length});
    while (!text.empty() && (text.back() == ' ' || text.back() == '.' || text.back() == '\r' ||
                             text.back() == '\n')) {
        text.pop_back();
    }
    if (text.empty()) {
        char number[32];
        std::snprintf(number, sizeof number, "error %lu", code);
        text = number;
    }
    return text;
}

}  // namespace

std::string FileOutcome::Text() const {
    switch (problem) {
        case Problem::None:
            return "done";
        case Problem::System:
            return ErrorText(error);
        case Problem::PartialWrite:
            return "the disk took only part of a write";
        case Problem::NotAFolder:
            return "not a folder";
        case Problem::NotMovable:
            return std::string(kFileName) + " there is not a file and could not be moved aside";
    }
    return "?";
}

FileOutcome AppendFile::Open(const platform::Path& path) {
    Close();
    // Append access without the right to write anywhere else: the system puts every write at
    // the end. The size, where the next page starts, needs the right to read attributes. Other
    // programs may read and write the file meanwhile, as they could a file opened by the C
    // library.
    HANDLE handle = CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return FileOutcome::SystemError(GetLastError());
    }
    m_handle = handle;
    m_path = path;
    return FileOutcome::Done();
}

bool AppendFile::IsOpen() const {
    return m_handle != nullptr;
}

std::uint64_t AppendFile::Size() const {
    LARGE_INTEGER size{};
    return m_handle != nullptr && GetFileSizeEx(m_handle, &size)
               ? static_cast<std::uint64_t>(size.QuadPart)
               : 0;
}

FileOutcome AppendFile::Append(const char* bytes, std::size_t size) {
    DWORD written = 0;
    const BOOL done = WriteFile(m_handle, bytes, static_cast<DWORD>(size), &written, nullptr);
    if (done && written == size) {
        return FileOutcome::Done();
    }
    const DWORD error = GetLastError();
    // A full disk took the start of the batch: the file is cut back to its last line.
    if (written > 0 && written < size) {
        CutBack(m_path, written);
    }
    return done ? FileOutcome{FileOutcome::Problem::PartialWrite, 0}
                : FileOutcome::SystemError(error);
}

void AppendFile::Close() {
    if (m_handle != nullptr) {
        CloseHandle(m_handle);
        m_handle = nullptr;
    }
}

FileOutcome StartLaunchFile(const platform::Path& folder, bool create, AppendFile& file,
                            platform::Path& path, bool& appended) {
    if (create) {
        CreateFolders(folder);
    }
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return FileOutcome::SystemError(GetLastError());
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return {FileOutcome::Problem::NotAFolder, 0};
    }
    const platform::Path place = FullPath(folder);
    if (place.empty()) {
        return FileOutcome::SystemError(GetLastError());
    }
    const platform::Path name = platform::Join(place, Wide(kFileName));
    // The previous launch's log is kept beside this one. Where it cannot be moved aside, this
    // launch's lines go after it rather than over it.
    appended = false;
    if (GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES) {
        const platform::Path previous = platform::Join(place, Wide(kPreviousFileName));
        appended = !MoveFileExW(name.c_str(), previous.c_str(), MOVEFILE_REPLACE_EXISTING);
        // Opening anything but a regular file could block (a pipe) or fail oddly (a folder).
        constexpr DWORD kNotAFile =
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;
        const DWORD now = GetFileAttributesW(name.c_str());
        if (appended && now != INVALID_FILE_ATTRIBUTES && (now & kNotAFile) != 0) {
            return {FileOutcome::Problem::NotMovable, 0};
        }
    }
    const FileOutcome opened = file.Open(name);
    if (opened.Ok()) {
        path = name;
    }
    return opened;
}

bool IsRemoved(const platform::Path& path) {
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
           platform::NothingThere(GetLastError());
}

std::string PathText(const platform::Path& path) {
    return platform::Utf8(path);
}

}  // namespace taviro::log
