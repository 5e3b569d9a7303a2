// The private-profile stand-ins' way to their files. See profile_file.h.
#include "profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "sharing.h"

namespace winshim::profile {

namespace {

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// As many links as the kernel follows in one path before it reports a loop.
constexpr int kMostLinks = 40;

std::optional<std::string> LinkTarget(const std::string& link) {
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(link.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
        return std::nullopt;
    }
    target.resize(static_cast<std::size_t>(length));
    return target;
}

}  // namespace

// O_NONBLOCK covers a FIFO swapped in after the check.
std::optional<std::string> ReadProfileFile(const std::string& path, DWORD& error) {
    error = ERROR_FILE_NOT_FOUND;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        return std::nullopt;
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return std::nullopt;
    }
    // Opened as Windows' own reader opens it: sharing reading and writing with other handles.
    if (!sharing::Take(fd, FILE_SHARE_READ | FILE_SHARE_WRITE, true, false)) {
        close(fd);
        error = ERROR_SHARING_VIOLATION;
        return std::nullopt;
    }
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            close(fd);
            if (got < 0) {
                error = ERROR_ACCESS_DENIED;
                return std::nullopt;
            }
            error = ERROR_SUCCESS;
            return text;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

std::optional<std::string> WriteTarget(std::string path, DWORD& error) {
    for (int followed = 0; followed <= kMostLinks; ++followed) {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0) {
            const int cause = errno;
            struct stat folder {};
            if (cause == ENOENT && stat(FolderOf(path).c_str(), &folder) == 0 &&
                S_ISDIR(folder.st_mode)) {
                return path;
            }
            // A link into a missing folder reports the file, a path into one the folder.
            error = cause == ELOOP    ? ERROR_CANT_RESOLVE_FILENAME
                    : cause == EACCES ? ERROR_ACCESS_DENIED
                    : followed > 0    ? ERROR_FILE_NOT_FOUND
                                      : ERROR_PATH_NOT_FOUND;
            return std::nullopt;
        }
        if (!S_ISLNK(info.st_mode)) {
            return path;
        }
        const auto target = LinkTarget(path);
        if (!target) {
            error = ERROR_ACCESS_DENIED;
            return std::nullopt;
        }
        path = target->front() == '/' ? *target : FolderOf(path) + "/" + *target;
    }
    error = ERROR_CANT_RESOLVE_FILENAME;
    return std::nullopt;
}

bool ReplaceFile(const std::string& path, const std::string& text, std::optional<mode_t> mode) {
    static unsigned serial = 0;
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    const bool written = WriteAll(fd, text) && (!mode || fchmod(fd, *mode) == 0) && fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace winshim::profile
