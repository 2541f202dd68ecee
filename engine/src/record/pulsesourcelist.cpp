#include "pulsesourcelist.h"

#include <vector>

namespace engine {

namespace {

// A failed connection is tried again at most this often.
constexpr auto RetryInterval = std::chrono::milliseconds(500);

struct Listing
{
    PulseConnection *connection;
    std::vector<PulseSourceList::Entry> sources;
    std::string defaultSource;
};

void sourceInfo(pa_context *, const pa_source_info *info, int eol, void *user)
{
    auto *l = static_cast<Listing *>(user);
    if (eol || !info) {
        l->connection->signal();
        return;
    }
    PulseSourceList::Entry e;
    e.id = info->name ? info->name : "";
    e.name = info->description ? info->description : e.id;
    e.loopback = info->monitor_of_sink != PA_INVALID_INDEX;
    e.rate = int(info->sample_spec.rate);
    e.channels = int(info->sample_spec.channels);
    e.present = true;
    l->sources.push_back(std::move(e));
}

void serverInfo(pa_context *, const pa_server_info *info, void *user)
{
    auto *l = static_cast<Listing *>(user);
    if (info && info->default_source_name)
        l->defaultSource = info->default_source_name;
    l->connection->signal();
}

} // namespace

PulseSourceList &PulseSourceList::instance()
{
    static PulseSourceList list;
    return list;
}

void PulseSourceList::reconnect()
{
    const auto now = std::chrono::steady_clock::now();
    if (m_connection && m_connection->alive())
        return;
    if (m_lastAttempt.time_since_epoch().count() != 0 && now - m_lastAttempt < RetryInterval)
        return;
    m_lastAttempt = now;
    m_connection.reset();
    auto c = std::make_unique<PulseConnection>();
    if (!c->connect(TimeoutMs))
        return;
    std::shared_ptr<std::atomic<bool>> dirty = m_dirty;
    {
        PulseConnection::Locker lock(*c);
        pa_context_set_subscribe_callback(
            c->context(),
            [](pa_context *, pa_subscription_event_type_t, uint32_t, void *user) {
                static_cast<std::atomic<bool> *>(user)->store(true);
            },
            dirty.get());
        // The flag outlives the connection: it belongs to this object, which is never freed.
        pa_operation *op = pa_context_subscribe(
            c->context(),
            pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER),
            nullptr, nullptr);
        if (op)
            pa_operation_unref(op);
    }
    c->setFailureHandler([dirty] { dirty->store(true); });
    m_connection = std::move(c);
    m_dirty->store(true);
}

void PulseSourceList::refresh()
{
    reconnect();
    const bool connected = m_connection && m_connection->alive();
    if (connected && !m_dirty->exchange(false))
        return;
    Listing l{m_connection.get(), {}, {}};
    bool ok = false;
    if (connected) {
        PulseConnection::Locker lock(*m_connection);
        ok = m_connection->waitOperation(
                 pa_context_get_source_info_list(m_connection->context(), sourceInfo, &l),
                 TimeoutMs) &&
             m_connection->waitOperation(
                 pa_context_get_server_info(m_connection->context(), serverInfo, &l), TimeoutMs);
    }
    if (!ok) {
        // No server (or it does not answer): nothing can be recorded now.
        m_dirty->store(true);
        l.sources.clear();
        l.defaultSource.clear();
    }
    for (Entry &e : m_entries) {
        e.present = false;
        e.isDefault = false;
    }
    for (Entry &s : l.sources) {
        Entry *known = nullptr;
        for (Entry &e : m_entries)
            if (e.id == s.id)
                known = &e;
        if (!known) {
            m_entries.push_back(s);
            known = &m_entries.back();
        }
        known->present = true;
        known->loopback = s.loopback;
        known->rate = s.rate;
        known->channels = s.channels;
        known->isDefault = s.id == l.defaultSource;
    }
}

bool PulseSourceList::entry(int index, Entry &out, const char **name, const char **id)
{
    std::lock_guard lock(m_mutex);
    refresh();
    if (index < 0 || size_t(index) >= m_entries.size())
        return false;
    const Entry &e = m_entries[size_t(index)];
    out = e;
    if (name)
        *name = e.name.c_str();
    if (id)
        *id = e.id.c_str();
    return true;
}

int PulseSourceList::defaultIndex()
{
    std::lock_guard lock(m_mutex);
    refresh();
    int firstPresent = -1;
    for (size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].present && m_entries[i].isDefault)
            return int(i);
        if (m_entries[i].present && firstPresent < 0)
            firstPresent = int(i);
    }
    return firstPresent;
}

int PulseSourceList::count()
{
    std::lock_guard lock(m_mutex);
    refresh();
    return int(m_entries.size());
}

} // namespace engine
