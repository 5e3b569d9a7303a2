#include "util/PluginThread.h"

#include <array>
#include <condition_variable>
#include <exception>
#include <new>
#include <thread>

#include "Win32.h"

namespace taviro {

namespace {

constexpr std::size_t kMostThreads = 4;
std::mutex registryMutex;
std::array<PluginThread*, kMostThreads> registry{};  // guarded by registryMutex

}  // namespace

#ifdef _WIN32
// An event to be woken by, and a timer for the sleep: a high-resolution one where Windows has it
// (10, version 1803 on), since a plain wait ends only on the system's clock tick, 15.6 ms by
// default, which would hold a sleep of a few milliseconds to that.
struct PluginThread::Waiter {
    HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE timer = MakeTimer();

    static HANDLE MakeTimer() {
        constexpr DWORD kHighResolution = 0x2;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
        HANDLE made = CreateWaitableTimerExW(nullptr, nullptr, kHighResolution, TIMER_ALL_ACCESS);
        return made != nullptr ? made : CreateWaitableTimerW(nullptr, FALSE, nullptr);
    }
};

void PluginThread::Sleep(const std::optional<std::chrono::microseconds>& duration) {
    if (!duration) {
        WaitForSingleObject(m_waiter->wake, INFINITE);
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(duration->count()) * 10;  // relative, 100 ns steps
    if (m_waiter->timer == nullptr ||
        !SetWaitableTimer(m_waiter->timer, &due, 0, nullptr, nullptr, FALSE)) {
        WaitForSingleObject(m_waiter->wake, static_cast<DWORD>((duration->count() + 999) / 1000));
        return;
    }
    const HANDLE handles[] = {m_waiter->wake, m_waiter->timer};
    WaitForMultipleObjects(2, handles, FALSE, INFINITE);
}

// No lock: at the library's exit the thread may have been ended holding any.
void PluginThread::Wake() {
    SetEvent(m_waiter->wake);
}

bool PluginThread::Ended() const {
    const HANDLE thread = m_handle.load(std::memory_order_acquire);
    return thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
}
#else
struct PluginThread::Waiter {
    std::mutex mutex;
    std::condition_variable wake;
    bool woken = false;  // guarded by mutex
};

void PluginThread::Sleep(const std::optional<std::chrono::microseconds>& duration) {
    std::unique_lock lock(m_waiter->mutex);
    const auto woken = [this] { return m_waiter->woken; };
    if (duration) {
        m_waiter->wake.wait_for(lock, *duration, woken);
    } else {
        m_waiter->wake.wait(lock, woken);
    }
    m_waiter->woken = false;
}

void PluginThread::Wake() {
    {
        std::lock_guard lock(m_waiter->mutex);
        m_waiter->woken = true;
    }
    m_waiter->wake.notify_one();
}

bool PluginThread::Ended() const {
    return false;
}
#endif

PluginThread& PluginThread::Of(Step step) {
    std::lock_guard lock(registryMutex);
    for (PluginThread* thread : registry) {
        if (thread != nullptr && thread->m_step == step) {
            return *thread;
        }
    }
    for (PluginThread*& slot : registry) {
        if (slot == nullptr) {
            slot = new PluginThread(step);
            slot->m_waiter = new Waiter;
            return *slot;
        }
    }
    // The plugin has two threads of this kind; a third would be a mistake in this file's caller.
    std::terminate();
}

void PluginThread::Run(PluginThread* self) {
#ifdef _WIN32
    HANDLE handle = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &handle,
                        SYNCHRONIZE, FALSE, 0)) {
        if (void* before = self->m_handle.exchange(handle, std::memory_order_acq_rel)) {
            CloseHandle(before);
        }
    }
#endif
    // Steps keep to their schedule: a wake that comes late shortens the sleep after it, so a
    // period of 8 ms is 125 steps a second however long the system takes to wake the thread.
    using Clock = std::chrono::steady_clock;
    Clock::time_point due = Clock::now();
    while (!self->m_stopRequested.load(std::memory_order_acquire)) {
        const auto period = self->m_step();
        if (self->m_stopRequested.load(std::memory_order_acquire)) {
            break;
        }
        if (!period) {
            self->Sleep(std::nullopt);
            due = Clock::now();
            continue;
        }
        const Clock::time_point now = Clock::now();
        due += *period;
        if (due <= now) {
            due = now + *period;  // behind by a whole period: start the schedule afresh
        }
        self->Sleep(std::chrono::duration_cast<std::chrono::microseconds>(due - now));
    }
    self->m_running.store(false, std::memory_order_release);
}

void PluginThread::StartOrWake() {
    std::lock_guard lock(m_startMutex);
    if (m_running.load(std::memory_order_acquire)) {
        Wake();
        return;
    }
#ifdef _WIN32
    if (void* before = m_handle.exchange(nullptr, std::memory_order_acq_rel)) {
        CloseHandle(before);  // an earlier thread's, which has ended
    }
#endif
    m_stopRequested.store(false, std::memory_order_relaxed);
    m_running.store(true, std::memory_order_relaxed);
    // Detached: nothing may have to wait for it as the process ends, where the system stops it
    // anywhere. Stop waits for it to return instead.
    std::thread(Run, this).detach();
}

bool PluginThread::Stop(std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    // Tried rather than waited for: at the library's exit, a thread Windows ended may hold it.
    std::unique_lock lock(m_startMutex, std::defer_lock);
    while (!lock.try_lock()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_stopRequested.store(true, std::memory_order_release);
    Wake();
    while (m_running.load(std::memory_order_acquire) && !Ended()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // A thread that Windows ended never cleared its mark; it will not run again.
    m_running.store(false, std::memory_order_relaxed);
    return true;
}

namespace {

// The library's exit: threads still running stop before the rest of the process goes from under
// them (the stand-in layer natively, whose files and tables they may be using).
struct StopAtExit {
    ~StopAtExit() {
        std::array<PluginThread*, kMostThreads> threads{};
        if (registryMutex.try_lock()) {
            threads = registry;
            registryMutex.unlock();
        }
        for (PluginThread* thread : threads) {
            if (thread != nullptr) {
                thread->Stop(std::chrono::milliseconds(500));
            }
        }
    }
} stopAtExit;

}  // namespace

}  // namespace taviro
