// A thread of the plugin's own, for work that must never run on the game's threads (reading the
// controllers, watching the settings files): it runs its step, sleeps until the step's period is
// over or it is woken, and runs it again, keeping to the period's schedule.
//
// The object is never destroyed, since the thread may still run while the process ends. When the
// library's exit code runs, every started thread is asked to stop and waited for a moment: in a
// program's own exit it is still running and stops at once; at ExitProcess Windows has already
// ended it, wherever it was, and nothing waits for it.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>

namespace taviro {

class PluginThread {
public:
    // What a step asks for: its period, or nothing to sleep until woken.
    using Step = std::optional<std::chrono::microseconds> (*)();

    // The thread of `step`, made on first use.
    static PluginThread& Of(Step step);

    // Starts the thread when it is not running; wakes it when it is, so that its next step comes
    // now rather than when its sleep ends.
    void StartOrWake();

    // Asks the thread to end and waits for it to, up to `patience`. True when it has ended. A
    // later StartOrWake begins a new thread.
    bool Stop(std::chrono::milliseconds patience);

private:
    explicit PluginThread(Step step) : m_step(step) {}
    struct Waiter;
    static void Run(PluginThread* self);
    void Sleep(const std::optional<std::chrono::microseconds>& duration);
    void Wake();
    bool Ended() const;

    Step m_step;
    std::mutex m_startMutex;             // one start or stop at a time
    std::atomic<bool> m_running{false};  // set by StartOrWake, cleared by the thread as it ends
    std::atomic<bool> m_stopRequested{false};
    Waiter* m_waiter = nullptr;            // made with the object, never destroyed
    std::atomic<void*> m_handle{nullptr};  // Windows: the thread, to tell whether it has ended
};

}  // namespace taviro
