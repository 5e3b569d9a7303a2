// The Windows file functions over POSIX calls, as their documentation describes them:
//  - Names take either separator, '\' or '/'. Wide names are code points (wchar_t is 32 bits
//    here) and reach the system as UTF-8; narrow ("ANSI") names are UTF-8 already.
//  - A handle opened with FILE_APPEND_DATA and without FILE_WRITE_DATA writes every byte at the
//    end of the file, whoever else writes there meanwhile: O_APPEND. Any other write access
//    writes at the handle's position.
//  - A write that the disk cannot take whole fails with ERROR_DISK_FULL (or ERROR_FILE_TOO_LARGE
//    past the process's file-size limit) and says in its count how much it did write.
//  - Attributes describe the name itself, a symbolic link included (FILE_ATTRIBUTE_REPARSE_POINT,
//    with FILE_ATTRIBUTE_DIRECTORY when it leads to a folder), as on Windows. What Windows has no
//    file for (a FIFO, a socket, a device node) answers FILE_ATTRIBUTE_DEVICE.
//  - A handle does what its access rights allow: writing needs FILE_WRITE_DATA or
//    FILE_APPEND_DATA, cutting the file FILE_WRITE_DATA, its size FILE_READ_ATTRIBUTES
//    (GENERIC_READ and GENERIC_WRITE standing for their usual sets); anything else is
//    ERROR_ACCESS_DENIED.
//  - MOVEFILE_REPLACE_EXISTING replaces a file but never moves or replaces a folder.
//  - A full path merges the current folder with the name and resolves "." and "..", without
//    asking whether anything is there.
//  - Share modes hold between handles, of this process and of others (sharing.cpp): an open that
//    meets a file held shut fails with ERROR_SHARING_VIOLATION and changes nothing, a file it
//    would create or cut back included.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "FilePath.h"
#include "sharing.h"
#include "winshim/windows.h"

namespace {

// The system's names are UTF-8 here, as the log's are, with slashes: one encoder for both.
std::string UnixName(std::string name) {
    return taviro::platform::NativeFilePath(std::move(name));
}

std::string UnixName(const wchar_t* name) {
    return UnixName(taviro::platform::Utf8(name));
}

// Whether the folder a name lies in is missing: Windows then says the path, not the file, is
// not found.
bool FolderMissing(const std::string& name) {
    const std::size_t slash = name.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        return false;
    }
    struct stat info {};
    return stat(name.substr(0, slash).c_str(), &info) != 0 || !S_ISDIR(info.st_mode);
}

DWORD ErrorOf(int error, const std::string& name) {
    switch (error) {
        case ENOENT:
            return FolderMissing(name) ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ETXTBSY:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
        case ENOTEMPTY:
            return ERROR_ALREADY_EXISTS;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EFBIG:
            return ERROR_FILE_TOO_LARGE;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_GEN_FAILURE;
    }
}

template <class Result>
Result Fail(DWORD error, Result result) {
    SetLastError(error);
    return result;
}

// Handles are the descriptor, moved off the values Windows gives a meaning (null, -1), and what
// each open handle may do.
std::mutex handlesMutex;
// Guarded by handlesMutex. Never destroyed: a thread of the plugin may still write its log while
// the process's exit runs the destructors.
std::map<int, DWORD>& HandleRights() {
    static auto* const rights = new std::map<int, DWORD>;
    return *rights;
}

DWORD Rights(DWORD access) {
    if ((access & GENERIC_READ) != 0) {
        access |= FILE_READ_DATA | FILE_READ_ATTRIBUTES;
    }
    if ((access & GENERIC_WRITE) != 0) {
        access |= FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES;
    }
    return access;
}

HANDLE HandleOf(int descriptor, DWORD access) {
    std::lock_guard lock(handlesMutex);
    HandleRights()[descriptor] = Rights(access);
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(descriptor + 1) * 4);
}

// The handle's descriptor when it is open and has one of `rights`; else -1, with the error set.
int DescriptorOf(HANDLE handle, DWORD rights) {
    const auto value = reinterpret_cast<std::intptr_t>(handle);
    const int descriptor = value <= 0 || value % 4 != 0 ? -1 : static_cast<int>(value / 4 - 1);
    std::lock_guard lock(handlesMutex);
    const auto it = HandleRights().find(descriptor);
    if (it == HandleRights().end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (rights != 0 && (it->second & rights) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    return descriptor;
}

HANDLE Open(const std::string& name, DWORD access, DWORD share, DWORD disposition) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    const bool reads = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
    const bool writesAnywhere = (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
    const bool appends = !writesAnywhere && (access & FILE_APPEND_DATA) != 0;
    const bool writes = writesAnywhere || appends;
    // Only a file or a folder is there to be opened; opening a FIFO or a device could wait or
    // act on it. A folder opens on Windows only for its own attributes, which nothing asks here.
    struct stat info {};
    const bool exists = stat(name.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) {
        return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    if (exists && disposition == CREATE_NEW) {
        return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
    }
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    flags |= appends ? O_APPEND : 0;
    flags |= disposition == CREATE_NEW ? O_CREAT | O_EXCL : 0;
    flags |= disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS ? O_CREAT : 0;
    const int descriptor = open(name.c_str(), flags, 0666);
    if (descriptor < 0) {
        return Fail(ErrorOf(errno, name), INVALID_HANDLE_VALUE);
    }
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {  // swapped in meanwhile
        close(descriptor);
        return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    if (!winshim::sharing::Take(descriptor, share, reads, writes)) {
        close(descriptor);
        return Fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
    }
    // Cut only once the file is known not to be held shut.
    const bool cuts = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (cuts && ftruncate(descriptor, 0) != 0) {
        const DWORD error = ErrorOf(errno, name);
        close(descriptor);
        return Fail(error, INVALID_HANDLE_VALUE);
    }
    fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    const bool opensOrReplaces = disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS;
    SetLastError(opensOrReplaces && exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return HandleOf(descriptor, access);
}

DWORD Attributes(const std::string& name) {
    struct stat info {};
    if (lstat(name.c_str(), &info) != 0) {
        return Fail(ErrorOf(errno, name), INVALID_FILE_ATTRIBUTES);
    }
    DWORD attributes = 0;
    if (S_ISLNK(info.st_mode)) {
        struct stat target {};
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        attributes |= stat(name.c_str(), &target) == 0 && S_ISDIR(target.st_mode)
                          ? FILE_ATTRIBUTE_DIRECTORY
                          : 0;
    } else if (S_ISDIR(info.st_mode)) {
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else if (!S_ISREG(info.st_mode)) {
        attributes |= FILE_ATTRIBUTE_DEVICE;
    }
    if (!S_ISLNK(info.st_mode) && (info.st_mode & S_IWUSR) == 0) {
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

bool IsFolder(const std::string& name) {
    struct stat info {};
    return lstat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The current folder and `name`, with "." and ".." resolved and no doubled separator.
std::string FullPath(const std::string& name) {
    std::string joined = name;
    if (name.empty() || name.front() != '/') {
        std::vector<char> here(PATH_MAX);
        if (getcwd(here.data(), here.size()) == nullptr) {
            return {};
        }
        joined = std::string(here.data()) + "/" + name;
    }
    std::vector<std::string> parts;
    for (std::size_t at = 0; at <= joined.size();) {
        const std::size_t end = std::min(joined.find('/', at), joined.size());
        const std::string part = joined.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string full;
    for (const std::string& part : parts) {
        full += "/" + part;
    }
    // A name that ends in a separator keeps it, as Windows keeps it.
    if (!joined.empty() && joined.back() == '/' && !full.empty()) {
        full += "/";
    }
    return full.empty() ? "/" : full;
}

struct Message {
    DWORD id;
    const char* text;
};
// The system's words for the errors these stand-ins give, as Windows words them in English.
constexpr Message kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the "
     "file."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved."},
    {ERROR_DIRECTORY, "The directory name is invalid."},
    {ERROR_INVALID_ADDRESS, "Attempt to access invalid address."},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system."},
};

}  // namespace

extern "C" {

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD, HANDLE templateFile) {
    if (name == nullptr || security != nullptr || templateFile != nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    return Open(UnixName(name), access, share, disposition);
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD, HANDLE templateFile) {
    if (name == nullptr || security != nullptr || templateFile != nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    return Open(UnixName(std::string(name)), access, share, disposition);
}

BOOL ReadFile(HANDLE file, LPVOID bytes, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read != nullptr) {
        *read = 0;
    }
    const int descriptor = DescriptorOf(file, FILE_READ_DATA);
    if (descriptor < 0) {
        return FALSE;
    }
    if (overlapped != nullptr || (bytes == nullptr && size > 0)) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    ssize_t n = 0;
    do {
        n = ::read(descriptor, bytes, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return Fail(ErrorOf(errno, {}), FALSE);
    }
    if (read != nullptr) {
        *read = static_cast<DWORD>(n);
    }
    return TRUE;  // 0 bytes read: the end of the file
}

BOOL WriteFile(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    if (written != nullptr) {
        *written = 0;
    }
    const int descriptor = DescriptorOf(file, FILE_WRITE_DATA | FILE_APPEND_DATA);
    if (descriptor < 0) {
        return FALSE;
    }
    if (overlapped != nullptr || (bytes == nullptr && size > 0)) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    DWORD done = 0;
    while (done < size) {
        const ssize_t n = write(descriptor, static_cast<const char*>(bytes) + done, size - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (written != nullptr) {
                *written = done;
            }
            // A write that took nothing and named no cause: the disk had no room for it.
            return Fail(n < 0 ? ErrorOf(errno, {}) : ERROR_DISK_FULL, FALSE);
        }
    }
    if (written != nullptr) {
        *written = done;
    }
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
    struct stat info {};
    const int descriptor = DescriptorOf(file, FILE_READ_ATTRIBUTES);
    if (descriptor < 0) {
        return FALSE;
    }
    if (size == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (fstat(descriptor, &info) != 0) {
        return Fail(ErrorOf(errno, {}), FALSE);
    }
    size->QuadPart = info.st_size;
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method) {
    const int descriptor = DescriptorOf(file, 0);
    if (descriptor < 0) {
        return FALSE;
    }
    const int whence = method == FILE_BEGIN     ? SEEK_SET
                       : method == FILE_CURRENT ? SEEK_CUR
                       : method == FILE_END     ? SEEK_END
                                                : -1;
    if (whence < 0) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    const off_t at = lseek(descriptor, static_cast<off_t>(distance.QuadPart), whence);
    if (at < 0) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);  // Windows' answer for a negative position
    }
    if (position != nullptr) {
        position->QuadPart = at;
    }
    return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
    const int descriptor = DescriptorOf(file, FILE_WRITE_DATA);
    if (descriptor < 0) {
        return FALSE;
    }
    const off_t at = lseek(descriptor, 0, SEEK_CUR);
    if (at < 0 || ftruncate(descriptor, at) != 0) {
        return Fail(at < 0 ? ERROR_INVALID_HANDLE : ErrorOf(errno, {}), FALSE);
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    const int descriptor = DescriptorOf(handle, 0);
    if (descriptor < 0) {
        return FALSE;
    }
    {
        std::lock_guard lock(handlesMutex);
        HandleRights().erase(descriptor);
    }
    close(descriptor);
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR name) {
    if (name == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, INVALID_FILE_ATTRIBUTES);
    }
    return Attributes(UnixName(name));
}

DWORD GetFileAttributesA(LPCSTR name) {
    if (name == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, INVALID_FILE_ATTRIBUTES);
    }
    return Attributes(UnixName(std::string(name)));
}

BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security) {
    if (name == nullptr || security != nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    const std::string folder = UnixName(name);
    if (mkdir(folder.c_str(), 0777) != 0) {
        return Fail(ErrorOf(errno, folder), FALSE);
    }
    return TRUE;
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (from == nullptr || to == nullptr || (flags & ~MOVEFILE_REPLACE_EXISTING) != 0) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    const std::string source = UnixName(from);
    const std::string target = UnixName(to);
    struct stat info {};
    if (lstat(source.c_str(), &info) != 0) {
        return Fail(ErrorOf(errno, source), FALSE);
    }
    if (lstat(target.c_str(), &info) == 0) {
        if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) {
            return Fail(ERROR_ALREADY_EXISTS, FALSE);
        }
        if (IsFolder(source) || IsFolder(target)) {
            return Fail(ERROR_ACCESS_DENIED, FALSE);
        }
    }
    if (rename(source.c_str(), target.c_str()) != 0) {
        return Fail(ErrorOf(errno, target), FALSE);
    }
    return TRUE;
}

DWORD GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR* filePart) {
    if (name == nullptr || *name == L'\0') {
        return Fail(ERROR_INVALID_PARAMETER, 0u);
    }
    const std::string full = FullPath(UnixName(name));
    if (full.empty()) {
        return Fail(ERROR_FILENAME_EXCED_RANGE, 0u);
    }
    const std::wstring wide = taviro::platform::Wide(full);
    if (buffer == nullptr || size <= wide.size()) {
        return static_cast<DWORD>(wide.size() + 1);  // what the buffer needs, terminator included
    }
    std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    if (filePart != nullptr) {
        const std::size_t slash = wide.rfind(L'/');
        *filePart = slash + 1 < wide.size() ? buffer + slash + 1 : nullptr;
    }
    return static_cast<DWORD>(wide.size());
}

DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD id, DWORD, LPWSTR buffer, DWORD size, va_list*) {
    const DWORD kOffered =
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (flags & ~kOffered) != 0 ||
        buffer == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER, 0u);
    }
    for (const Message& message : kMessages) {
        if (message.id != id) {
            continue;
        }
        // The system's texts end in a line break, which the width flag takes away.
        std::wstring text = taviro::platform::Wide(message.text);
        text += (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != 0 ? L" " : L"\r\n";
        if (size <= text.size()) {
            return Fail(ERROR_INSUFFICIENT_BUFFER, 0u);
        }
        std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        return static_cast<DWORD>(text.size());
    }
    return Fail(ERROR_MR_MID_NOT_FOUND, 0u);
}

}  // extern "C"
