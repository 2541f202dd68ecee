#include "pulseconnection.h"

namespace engine {

PulseConnection::PulseConnection()
{
    m_loop = pa_threaded_mainloop_new();
    if (m_loop && pa_threaded_mainloop_start(m_loop) < 0) {
        pa_threaded_mainloop_free(m_loop);
        m_loop = nullptr;
    }
}

PulseConnection::~PulseConnection()
{
    if (!m_loop)
        return;
    pa_threaded_mainloop_lock(m_loop);
    if (m_context) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
    }
    pa_threaded_mainloop_unlock(m_loop);
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
}

void PulseConnection::stateCallback(pa_context *c, void *user)
{
    auto *self = static_cast<PulseConnection *>(user);
    const pa_context_state_t s = pa_context_get_state(c);
    if (s == PA_CONTEXT_READY) {
        self->m_alive = true;
    } else if (!PA_CONTEXT_IS_GOOD(s)) {
        const bool was = self->m_alive.exchange(false);
        if (was && self->m_onFailure)
            self->m_onFailure();
    }
    self->signal();
}

bool PulseConnection::connect(int timeoutMs)
{
    if (!m_loop)
        return false;
    Locker lock(*this);
    if (m_context)
        return m_alive;
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Vellacast");
    if (!m_context)
        return false;
    pa_context_set_state_callback(m_context, &PulseConnection::stateCallback, this);
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return false;
    waitUntil(
        [this] {
            const pa_context_state_t s = pa_context_get_state(m_context);
            return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        },
        timeoutMs);
    return m_alive;
}

void PulseConnection::setFailureHandler(std::function<void()> handler)
{
    Locker lock(*this);
    m_onFailure = std::move(handler);
}

namespace {
struct Expiry
{
    pa_threaded_mainloop *loop;
    bool expired = false;
};
void expire(pa_mainloop_api *, pa_time_event *, const struct timeval *, void *user)
{
    auto *e = static_cast<Expiry *>(user);
    e->expired = true;
    pa_threaded_mainloop_signal(e->loop, 0);
}
} // namespace

bool PulseConnection::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    Expiry expiry{m_loop};
    pa_mainloop_api *api = pa_threaded_mainloop_get_api(m_loop);
    struct timeval tv;
    pa_timeval_add(pa_gettimeofday(&tv), pa_usec_t(timeoutMs) * PA_USEC_PER_MSEC);
    pa_time_event *timer = api->time_new(api, &tv, expire, &expiry);
    while (!done() && !expiry.expired)
        pa_threaded_mainloop_wait(m_loop);
    api->time_free(timer);
    return done();
}

bool PulseConnection::waitOperation(pa_operation *op, int timeoutMs)
{
    if (!op)
        return false;
    pa_operation_set_state_callback(
        op,
        [](pa_operation *, void *loop) {
            pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
        },
        m_loop);
    const bool ok =
        waitUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, timeoutMs);
    if (!ok)
        pa_operation_cancel(op);
    pa_operation_unref(op);
    return ok;
}

} // namespace engine
