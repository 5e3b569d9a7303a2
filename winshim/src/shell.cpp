// The user's Documents folder, as the shell's known-folder query gives it: a wide, zero-terminated
// path the caller frees with CoTaskMemFree, and only for a folder that is there.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "winshim/control.h"
#include "winshim/windows.h"

namespace {

std::mutex documentsMutex;
std::optional<std::string> documentsFolder;  // guarded by documentsMutex

std::string DocumentsFolder() {
    std::lock_guard lock(documentsMutex);
    if (documentsFolder) {
        return *documentsFolder;
    }
    const char* home = std::getenv("HOME");
    return home != nullptr && *home != '\0' ? std::string(home) + "/Documents" : std::string();
}

bool SameGuid(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

}  // namespace

namespace winshim {

void SetDocumentsFolder(const std::string& path) {
    std::lock_guard lock(documentsMutex);
    documentsFolder = path;
}

}  // namespace winshim

extern "C" {

HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID folder, DWORD, HANDLE, PWSTR* path) {
    if (path == nullptr) {
        return E_INVALIDARG;
    }
    *path = nullptr;
    if (!SameGuid(folder, FOLDERID_Documents)) {
        return E_INVALIDARG;
    }
    // Without the flag that skips it, the shell checks that the folder is there.
    const std::string documents = DocumentsFolder();
    struct stat info {};
    if (documents.empty() || stat(documents.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return E_FAIL;
    }
    // UTF-8 bytes to wide characters; the paths here are the testbed's own, ASCII in practice.
    std::mbstate_t state{};
    const char* source = documents.c_str();
    const std::size_t length = std::mbsrtowcs(nullptr, &source, 0, &state);
    if (length == static_cast<std::size_t>(-1)) {
        return E_FAIL;
    }
    auto* wide = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
    if (wide == nullptr) {
        return E_FAIL;
    }
    source = documents.c_str();
    state = {};
    std::mbsrtowcs(wide, &source, length + 1, &state);
    *path = wide;
    return S_OK;
}

void CoTaskMemFree(void* memory) {
    std::free(memory);
}

}  // extern "C"
