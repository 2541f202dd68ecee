#include "pulsesinklist.h"

namespace engine {

namespace {

// A failed connection is tried again at most this often.
constexpr auto RetryInterval = std::chrono::milliseconds(500);

struct Listing
{
    PulseConnection *connection;
    std::vector<DeviceEntry> sinks;
    std::string defaultSink;
};

void sinkInfo(pa_context *, const pa_sink_info *info, int eol, void *user)
{
    auto *l = static_cast<Listing *>(user);
    if (eol || !info) {
        l->connection->signal();
        return;
    }
    l->sinks.push_back({info->description ? info->description : info->name, info->name, false});
}

void serverInfo(pa_context *, const pa_server_info *info, void *user)
{
    auto *l = static_cast<Listing *>(user);
    if (info && info->default_sink_name)
        l->defaultSink = info->default_sink_name;
    l->connection->signal();
}

} // namespace

PulseSinkList &PulseSinkList::instance()
{
    static PulseSinkList list;
    return list;
}

void PulseSinkList::reconnect()
{
    if (m_connection && m_connection->alive())
        return;
    const auto now = std::chrono::steady_clock::now();
    if (m_lastAttempt.time_since_epoch().count() != 0 && now - m_lastAttempt < RetryInterval)
        return;
    m_lastAttempt = now;
    m_connection.reset();
    m_listed = false;
    auto c = std::make_unique<PulseConnection>();
    if (!c->connect(TimeoutMs))
        return;
    std::shared_ptr<std::atomic<bool>> dirty = m_dirty;
    {
        PulseConnection::Locker lock(*c);
        // The flag outlives the connection: it belongs to this object, which is never freed.
        pa_context_set_subscribe_callback(
            c->context(),
            [](pa_context *, pa_subscription_event_type_t, uint32_t, void *user) {
                static_cast<std::atomic<bool> *>(user)->store(true);
            },
            dirty.get());
        pa_operation *op = pa_context_subscribe(
            c->context(),
            pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER),
            nullptr, nullptr);
        if (op)
            pa_operation_unref(op);
    }
    c->setFailureHandler([dirty] { dirty->store(true); });
    m_connection = std::move(c);
    m_dirty->store(true);
}

bool PulseSinkList::refresh()
{
    reconnect();
    if (!m_connection || !m_connection->alive())
        return false;
    if (m_listed && !m_dirty->exchange(false))
        return true;
    m_dirty->store(false);
    Listing l{m_connection.get(), {}, {}};
    bool ok = false;
    {
        PulseConnection::Locker lock(*m_connection);
        ok = m_connection->waitOperation(
                 pa_context_get_server_info(m_connection->context(), serverInfo, &l), TimeoutMs) &&
             m_connection->waitOperation(
                 pa_context_get_sink_info_list(m_connection->context(), sinkInfo, &l), TimeoutMs);
    }
    if (!ok) {
        // The server does not answer: ask again next time.
        m_dirty->store(true);
        m_listed = false;
        return false;
    }
    for (DeviceEntry &e : l.sinks)
        e.isDefault = e.id == l.defaultSink;
    m_sinks = std::move(l.sinks);
    m_listed = true;
    return true;
}

bool PulseSinkList::list(std::vector<DeviceEntry> &out)
{
    std::lock_guard lock(m_mutex);
    if (!refresh())
        return false;
    out.insert(out.end(), m_sinks.begin(), m_sinks.end());
    return true;
}

} // namespace engine
