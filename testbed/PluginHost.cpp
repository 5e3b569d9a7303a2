#include "PluginHost.h"

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

std::mutex hostMutex;
std::vector<std::string> hostCalls;
std::vector<Listener> registeredListeners;
bool messagingOffered = true;

void Record(std::string call) {
    std::lock_guard lock(hostMutex);
    hostCalls.push_back(std::move(call));
}

TESTBED_ACROSS_THE_PLUGIN_BOUNDARY bool TESTBED_GAME_CALL
RegisterListener(std::uint32_t handle, const char* sender, MessageCallback callback) {
    Record("RegisterListener(" + std::to_string(handle) + ", " + (sender ? sender : "null") + ")");
    if (callback == nullptr) {
        return false;
    }
    std::lock_guard lock(hostMutex);
    registeredListeners.push_back({handle, sender ? sender : "", callback});
    return true;
}

TESTBED_ACROSS_THE_PLUGIN_BOUNDARY bool TESTBED_GAME_CALL Dispatch(std::uint32_t, std::uint32_t,
                                                                   void*, std::uint32_t,
                                                                   const char*) {
    Record("Dispatch");
    return false;
}

MessagingInterface messaging{1, &RegisterListener, &Dispatch};

TESTBED_ACROSS_THE_PLUGIN_BOUNDARY void* TESTBED_GAME_CALL QueryInterface(std::uint32_t id) {
    Record("QueryInterface(" + std::to_string(id) + ")");
    return id == 1 && messagingOffered ? &messaging : nullptr;
}

TESTBED_ACROSS_THE_PLUGIN_BOUNDARY std::uint32_t TESTBED_GAME_CALL GetPluginHandle() {
    Record("GetPluginHandle");
    return PluginHost::kPluginHandle;
}

LoadInterface loadInterface{
    0x00000300, PluginHost::kRuntimeVersion, {0, 0}, &QueryInterface, &GetPluginHandle};

std::uint32_t ReadU32(const std::uint8_t* p, std::size_t offset) {
    std::uint32_t v;
    std::memcpy(&v, p + offset, sizeof v);
    return v;
}

}  // namespace

#ifdef _WIN32
std::string WindowsPath(std::string path) {
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

std::string PluginHost::ChainingPluginPath() {
    return TESTBED_CHAINING_PLUGIN;
}

std::string PluginHost::OverwritingPluginPath() {
    return TESTBED_OVERWRITING_PLUGIN;
}

bool PluginHost::Load(const std::string& path) {
    return Open(path, m_plugin);
}

bool PluginHost::LoadOther(const std::string& path) {
    return Open(path, m_other);
}

bool PluginHost::Open(const std::string& path, Library& library) {
#ifdef _WIN32
    HMODULE module = LoadLibraryA(WindowsPath(path).c_str());
    if (module == nullptr) {
        m_error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    library.handle = module;
    library.record =
        reinterpret_cast<const std::uint8_t*>(GetProcAddress(module, "SFSEPlugin_Version"));
    library.loadEntry = reinterpret_cast<void*>(GetProcAddress(module, "SFSEPlugin_Load"));
#else
    library.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library.handle == nullptr) {
        m_error = "cannot load " + path + ": " + dlerror();
        return false;
    }
    library.record = static_cast<const std::uint8_t*>(dlsym(library.handle, "SFSEPlugin_Version"));
    library.loadEntry = dlsym(library.handle, "SFSEPlugin_Load");
#endif
    if (library.record == nullptr || library.loadEntry == nullptr) {
        m_error = "not a plugin: SFSEPlugin_Version or SFSEPlugin_Load is missing";
        return false;
    }
    if (ReadU32(library.record, 0) != 1) {
        m_error = "unknown version record format " + std::to_string(ReadU32(library.record, 0));
        return false;
    }
    for (std::size_t i = 0; i < 16; ++i) {
        if (ReadU32(library.record, 528 + 4 * i) == kRuntimeVersion) {
            return true;
        }
    }
    m_error = "the plugin is not compatible with runtime 1.14.74";
    return false;
}

bool PluginHost::CallLoadEntry() {
    return CallLoadEntry(m_plugin);
}

bool PluginHost::CallOtherLoadEntry() {
    return CallLoadEntry(m_other);
}

TESTBED_ACROSS_THE_PLUGIN_BOUNDARY bool PluginHost::CallLoadEntry(const Library& library) {
    using LoadFn = bool(TESTBED_GAME_CALL*)(const LoadInterface*);
    messagingOffered = m_options.provideMessaging;
    return reinterpret_cast<LoadFn>(library.loadEntry)(&loadInterface);
}

void* PluginHost::OtherExport(const char* name) const {
    if (m_other.handle == nullptr) {
        return nullptr;
    }
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_other.handle), name));
#else
    return dlsym(m_other.handle, name);
#endif
}

TESTBED_ACROSS_THE_PLUGIN_BOUNDARY std::uint64_t PluginHost::OtherHookCalls() const {
    using CountFn = std::uint64_t(TESTBED_GAME_CALL*)();
    void* const count = OtherExport("OtherPlugin_HookCalls");
    return count != nullptr ? reinterpret_cast<CountFn>(count)() : 0;
}

TESTBED_ACROSS_THE_PLUGIN_BOUNDARY void PluginHost::DeliverMessage(std::uint32_t type) {
    std::vector<Listener> listeners;
    {
        std::lock_guard lock(hostMutex);
        listeners = registeredListeners;
    }
    Message message{"SFSE", type, 0, nullptr};
    for (const Listener& l : listeners) {
        if (l.sender == "SFSE") {
            l.callback(&message);
        }
    }
}

const void* PluginHost::LoadInterfaceRecord() const {
    messagingOffered = m_options.provideMessaging;
    return &loadInterface;
}

std::vector<const void*> PluginHost::Listeners() const {
    std::lock_guard lock(hostMutex);
    std::vector<const void*> callbacks;
    for (const Listener& l : registeredListeners) {
        callbacks.push_back(reinterpret_cast<const void*>(l.callback));
    }
    return callbacks;
}

void PluginHost::Reset() {
    std::lock_guard lock(hostMutex);
    hostCalls.clear();
    registeredListeners.clear();
}

std::string PluginHost::PluginName() const {
    return m_plugin.record != nullptr
               ? std::string(reinterpret_cast<const char*>(m_plugin.record + 8))
               : "";
}

bool PluginHost::IsInPlugin(const void* address) const {
#ifdef _WIN32
    HMODULE owner = nullptr;
    return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCSTR>(address), &owner) &&
           owner == static_cast<HMODULE>(m_plugin.handle);
#else
    Dl_info target{};
    Dl_info plugin{};
    return dladdr(address, &target) != 0 && dladdr(m_plugin.loadEntry, &plugin) != 0 &&
           target.dli_fbase == plugin.dli_fbase;
#endif
}

std::vector<std::string> PluginHost::Calls() const {
    std::lock_guard lock(hostMutex);
    return hostCalls;
}

}  // namespace testbed
