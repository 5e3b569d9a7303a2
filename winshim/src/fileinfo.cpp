// GetFileAttributesExA for builds without Windows: a file's attributes, size and times, read
// through the path's links, as the documented standard information level gives them. A missing
// file fails with ERROR_FILE_NOT_FOUND, a missing folder on the way with ERROR_PATH_NOT_FOUND.
// Times are FILETIMEs: 100-nanosecond steps since 1601, the last change of the inode standing in
// for the creation time, which Unix file systems need not keep.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>

#include "FilePath.h"
#include "winshim/windows.h"

namespace {

FILETIME FileTime(const timespec& time) {
    constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;
    const std::uint64_t ticks =
        static_cast<std::uint64_t>(time.tv_sec + kSecondsFrom1601To1970) * 10000000u +
        static_cast<std::uint64_t>(time.tv_nsec) / 100u;
    return {static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

bool FolderThere(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat info {};
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

extern "C" BOOL GetFileAttributesExA(LPCSTR fileName, GET_FILEEX_INFO_LEVELS level,
                                     LPVOID information) {
    if (fileName == nullptr || information == nullptr || level != GetFileExInfoStandard) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string path = taviro::platform::NativeFilePath(std::string(fileName));
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        SetLastError(errno == ENOENT
                         ? (FolderThere(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND)
                     : errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                        : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto* data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(information);
    const bool folder = S_ISDIR(info.st_mode);
    data->dwFileAttributes = (folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE) |
                             ((info.st_mode & S_IWUSR) == 0 ? FILE_ATTRIBUTE_READONLY : 0);
    data->ftCreationTime = FileTime(info.st_ctim);
    data->ftLastAccessTime = FileTime(info.st_atim);
    data->ftLastWriteTime = FileTime(info.st_mtim);
    const auto size = folder ? std::uint64_t{0} : static_cast<std::uint64_t>(info.st_size);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    return TRUE;
}
