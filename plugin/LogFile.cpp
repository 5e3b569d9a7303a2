#include "LogFile.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "Log.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace taviro::log {

namespace fs = std::filesystem;

#ifdef _WIN32

namespace {
std::string LastError() {
    return std::system_category().message(static_cast<int>(GetLastError()));
}
}  // namespace

std::string AppendFile::Open(const fs::path& path) {
    Close();
    // Append access alone: the system puts every write at the end. Other programs may read and
    // write the file meanwhile, as they could a file opened by the C library.
    HANDLE handle = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return LastError();
    }
    m_handle = handle;
    return {};
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

std::string AppendFile::Append(const char* bytes, std::size_t size) {
    DWORD written = 0;
    if (!WriteFile(m_handle, bytes, static_cast<DWORD>(size), &written, nullptr)) {
        return LastError();
    }
    return written == size ? std::string() : std::string("the disk took only part of a write");
}

void AppendFile::Close() {
    if (m_handle != nullptr) {
        CloseHandle(m_handle);
        m_handle = nullptr;
    }
}

#else

std::string AppendFile::Open(const fs::path& path) {
    Close();
    const int descriptor =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (descriptor < 0) {
        return std::strerror(errno);
    }
    m_descriptor = descriptor;
    return {};
}

bool AppendFile::IsOpen() const {
    return m_descriptor >= 0;
}

std::uint64_t AppendFile::Size() const {
    struct stat status {};
    return m_descriptor >= 0 && ::fstat(m_descriptor, &status) == 0
               ? static_cast<std::uint64_t>(status.st_size)
               : 0;
}

std::string AppendFile::Append(const char* bytes, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_descriptor, bytes + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            const int error = n < 0 ? errno : ENOSPC;
            // A full disk took the start of the batch: the file is cut back to its last line.
            if (done > 0) {
                const off_t end = ::lseek(m_descriptor, 0, SEEK_END);
                if (end >= static_cast<off_t>(done)) {
                    (void)::ftruncate(m_descriptor, end - static_cast<off_t>(done));
                }
            }
            return std::strerror(error);
        }
    }
    return {};
}

void AppendFile::Close() {
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
        m_descriptor = -1;
    }
}

#endif

std::string StartLaunchFile(const fs::path& folder, bool create, AppendFile& file, fs::path& path,
                            bool& appended) {
    std::error_code error;
    if (create) {
        fs::create_directories(folder, error);
    }
    if (!fs::is_directory(folder, error)) {
        return error ? error.message() : "not a folder";
    }
    const fs::path place = fs::absolute(folder, error).lexically_normal();
    if (error) {
        return error.message();
    }
    const fs::path name = place / kFileName;
    // The previous launch's log is kept beside this one. Where it cannot be moved aside, this
    // launch's lines go after it rather than over it.
    appended = false;
    if (fs::exists(fs::symlink_status(name, error))) {
        fs::rename(name, place / kPreviousFileName, error);
        appended = static_cast<bool>(error);
        // Opening anything but a regular file could block (a pipe) or fail oddly (a folder).
        if (appended && !fs::is_regular_file(fs::symlink_status(name, error))) {
            return "Taviro.log there is not a file and could not be moved aside";
        }
    }
    std::string why = file.Open(name);
    if (why.empty()) {
        path = name;
    }
    return why;
}

bool IsRemoved(const fs::path& path) {
    std::error_code error;
    return !fs::exists(path, error) && !error;
}

std::string PathText(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace taviro::log
