#include "testbed/PluginHost.h"

#include <cstring>
#include <mutex>

#include "Win32.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

// The host and the plugin each declare the records they exchange, as a real host and plugin do, so
// a function on one side and the other side's pointer to it agree in layout and convention but
// not in C++ type. The sanitizer's function-type check compares the types' names and would stop
// every call across, in both directions: the host's calls into the plugin are exempt from it, and
// so are the host's own functions, which the plugin calls.
#if defined(__clang__)
#define TESTBED_ACROSS_THE_PLUGIN_BOUNDARY __attribute__((no_sanitize("function")))
#else
#define TESTBED_ACROSS_THE_PLUGIN_BOUNDARY
#endif

namespace testbed {

namespace {

// The host's records, laid out as the host lays them out.
struct Message {
    const char* sender;
    std::uint32_t type;
    std::uint32_t dataLength;
    void* data;
};
using MessageCallback = void(TESTBED_GAME_CALL*)(Message*);

struct MessagingInterface {
    std::uint32_t version;
    bool(TESTBED_GAME_CALL* registerListener)(std::uint32_t, const char*, MessageCallback);
    bool(TESTBED_GAME_CALL* dispatch)(std::uint32_t, std::uint32_t, void*, std::uint32_t,
                                      const char*);
};

struct LoadInterface {
    std::uint32_t hostVersion;
    std::uint32_t runtimeVersion;
    std::uint32_t reserved[2];
    void*(TESTBED_GAME_CALL* queryInterface)(std::uint32_t);
    std::uint32_t(TESTBED_GAME_CALL* getPluginHandle)();
};

struct Listener {
    std::uint32_t handle;
    std::string sender;
    MessageCallback callback;
};

std::mutex g_mutex;
std::vector<std::string> g_calls;
std::vector<Listener> g_listeners;
bool g_provideMessaging = true;

void Record(std::string call) {
    std::lock_guard lock(g_mutex);
    g_calls.push_back(std::move(call));
}

TESTBED_ACROSS_THE_PLUGIN_BOUNDARY bool TESTBED_GAME_CALL
RegisterListener(std::uint32_t handle, const char* sender, MessageCallback callback) {
    Record("RegisterListener(" + std::to_string(handle) + ", " + (sender ? sender : "null") + ")");
    if (callback == nullptr) {
        return false;
    }
    std::lock_guard lock(g_mutex);
    g_listeners.push_back({handle, sender ? sender : "", callback});
    return true;
}

TESTBED_ACROSS_THE_PLUGIN_BOUNDARY bool TESTBED_GAME_CALL Dispatch(std::uint32_t, std::uint32_t,
                                                                   void*, std::uint32_t,
                                                                   const char*) {
    Record("Dispatch");
    return false;
}

MessagingInterface g_messaging{1, &RegisterListener, &Dispatch};

TESTBED_ACROSS_THE_PLUGIN_BOUNDARY void* TESTBED_GAME_CALL QueryInterface(std::uint32_t id) {
    Record("QueryInterface(" + std::to_string(id) + ")");
    return id == 1 && g_provideMessaging ? &g_messaging : nullptr;
}

TESTBED_ACROSS_THE_PLUGIN_BOUNDARY std::uint32_t TESTBED_GAME_CALL GetPluginHandle() {
    Record("GetPluginHandle");
    return PluginHost::kPluginHandle;
}

LoadInterface g_loadInterface{
    0x00000300, PluginHost::kRuntimeVersion, {0, 0}, &QueryInterface, &GetPluginHandle};

std::uint32_t ReadU32(const std::uint8_t* p, std::size_t offset) {
    std::uint32_t v;
    std::memcpy(&v, p + offset, sizeof v);
    return v;
}

#ifdef _WIN32
std::string WindowsPath(std::string path) {
    // A Unix path from the build reaches Wine's loader through its Z: drive.
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}
#endif

}  // namespace

PluginHost& PluginHost::Get() {
    static PluginHost host;
    return host;
}

std::string PluginHost::DefaultPluginPath() {
#ifdef TAVIRO_DEFAULT_PLUGIN
    return TAVIRO_DEFAULT_PLUGIN;
#else
    return "Taviro.dll";
#endif
}

bool PluginHost::Load(const std::string& path) {
#ifdef _WIN32
    HMODULE module = LoadLibraryA(WindowsPath(path).c_str());
    if (module == nullptr) {
        error_ = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    library_ = module;
    record_ = reinterpret_cast<const std::uint8_t*>(GetProcAddress(module, "SFSEPlugin_Version"));
    loadEntry_ = reinterpret_cast<void*>(GetProcAddress(module, "SFSEPlugin_Load"));
#else
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        error_ = "cannot load " + path + ": " + dlerror();
        return false;
    }
    record_ = static_cast<const std::uint8_t*>(dlsym(library_, "SFSEPlugin_Version"));
    loadEntry_ = dlsym(library_, "SFSEPlugin_Load");
#endif
    if (record_ == nullptr || loadEntry_ == nullptr) {
        error_ = "not a plugin: SFSEPlugin_Version or SFSEPlugin_Load is missing";
        return false;
    }
    if (ReadU32(record_, 0) != 1) {
        error_ = "unknown version record format " + std::to_string(ReadU32(record_, 0));
        return false;
    }
    for (std::size_t i = 0; i < 16; ++i) {
        if (ReadU32(record_, 528 + 4 * i) == kRuntimeVersion) {
            return true;
        }
    }
    error_ = "the plugin is not compatible with runtime 1.14.74";
    return false;
}

TESTBED_ACROSS_THE_PLUGIN_BOUNDARY bool PluginHost::CallLoadEntry() {
    using LoadFn = bool(TESTBED_GAME_CALL*)(const LoadInterface*);
    g_provideMessaging = options_.provideMessaging;
    return reinterpret_cast<LoadFn>(loadEntry_)(&g_loadInterface);
}

TESTBED_ACROSS_THE_PLUGIN_BOUNDARY void PluginHost::DeliverMessage(std::uint32_t type) {
    std::vector<Listener> listeners;
    {
        std::lock_guard lock(g_mutex);
        listeners = g_listeners;
    }
    Message message{"SFSE", type, 0, nullptr};
    for (const Listener& l : listeners) {
        if (l.sender == "SFSE") {
            l.callback(&message);
        }
    }
}

std::string PluginHost::PluginName() const {
    return record_ != nullptr ? std::string(reinterpret_cast<const char*>(record_ + 8)) : "";
}

bool PluginHost::IsInPlugin(const void* address) const {
#ifdef _WIN32
    HMODULE owner = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCSTR>(address), &owner) &&
           owner == static_cast<HMODULE>(library_);
#else
    Dl_info target{};
    Dl_info plugin{};
    return dladdr(address, &target) != 0 && dladdr(loadEntry_, &plugin) != 0 &&
           target.dli_fbase == plugin.dli_fbase;
#endif
}

std::vector<std::string> PluginHost::Calls() const {
    std::lock_guard lock(g_mutex);
    return g_calls;
}

void PluginHost::ClearCalls() {
    std::lock_guard lock(g_mutex);
    g_calls.clear();
}

}  // namespace testbed
