#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <functional>

namespace engine {

// A connection to the sound server on a threaded main loop of its own. Callbacks of the
// server run on that loop's thread; everything else takes the loop lock (Locker).
class PulseConnection
{
public:
    PulseConnection();
    ~PulseConnection();
    PulseConnection(const PulseConnection &) = delete;
    PulseConnection &operator=(const PulseConnection &) = delete;

    // Connects within `timeoutMs`; false when no server answers.
    bool connect(int timeoutMs);
    // False once the connection has failed or ended.
    bool alive() const { return m_alive.load(); }

    pa_threaded_mainloop *loop() const { return m_loop; }
    pa_context *context() const { return m_context; }

    // Called on the loop thread when the connection fails after it was established.
    void setFailureHandler(std::function<void()> handler);

    // With the loop locked: waits until done() or `timeoutMs` have passed; returns done().
    bool waitUntil(const std::function<bool()> &done, int timeoutMs);
    // With the loop locked: waits for an operation to finish (and releases it).
    bool waitOperation(pa_operation *op, int timeoutMs);
    // Wakes waitUntil (from loop callbacks).
    void signal() { pa_threaded_mainloop_signal(m_loop, 0); }

    class Locker
    {
    public:
        explicit Locker(const PulseConnection &c)
            : m_loop(c.m_loop)
        {
            pa_threaded_mainloop_lock(m_loop);
        }
        ~Locker() { pa_threaded_mainloop_unlock(m_loop); }
        Locker(const Locker &) = delete;
        Locker &operator=(const Locker &) = delete;

    private:
        pa_threaded_mainloop *m_loop;
    };

private:
    static void stateCallback(pa_context *c, void *user);

    pa_threaded_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    std::atomic<bool> m_alive{false};
    std::function<void()> m_onFailure; // under the loop lock
};

} // namespace engine
