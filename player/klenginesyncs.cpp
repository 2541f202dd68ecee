#include "klenginesyncs.h"

#include "klcallbackregistry.h"

#include <QMetaObject>

#include <bass.h>

namespace {

// Living players' notification queues. The engine calls the syncs on its own threads with the
// serial as user data; a sync that arrives while its player is being destroyed finds nothing
// here and is dropped, so no callback ever touches a deleted player.
KLCallbackRegistry &living()
{
    static KLCallbackRegistry syncs;
    return syncs;
}

} // namespace

KLEngineSyncs::KLEngineSyncs(QObject *parent)
    : QObject(parent)
    , m_serial(living().add(this))
{}

KLEngineSyncs::~KLEngineSyncs()
{
    detach();
}

void KLEngineSyncs::detach()
{
    if (m_serial == 0)
        return;
    living().remove(m_serial);
    m_serial = 0;
}

bool KLEngineSyncs::attach(HSTREAM handle, QString *failed) const
{
    struct SyncSetting
    {
        DWORD type;
        SYNCPROC *proc;
        const char *name;
    };
    static constexpr SyncSetting syncs[] = {
        {BASS_SYNC_STALL, &KLEngineSyncs::stallSync, "stall"},
        {BASS_SYNC_END, &KLEngineSyncs::endSync, "end"},
        {BASS_SYNC_DEV_FAIL, &KLEngineSyncs::deviceFailureSync, "dev fail"},
        {BASS_SYNC_DEV_FORMAT, &KLEngineSyncs::deviceFormatSync, "dev format"},
    };
    for (const SyncSetting &sync : syncs) {
        if (!BASS_ChannelSetSync(handle, sync.type, 0, sync.proc,
                                 KLCallbackRegistry::userData(m_serial))) {
            *failed = QLatin1String(sync.name);
            return false;
        }
    }
    return true;
}

void KLEngineSyncs::post(Kind kind, HSTREAM handle, DWORD data)
{
    {
        std::lock_guard locker(m_mutex);
        m_queued.push_back({kind, handle, data});
    }
    // Posted by name: nothing made on the calling thread is read on the owner's thread except
    // through the queue above.
    QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
}

void KLEngineSyncs::deliver()
{
    std::vector<KLEngineNotification> queued;
    {
        std::lock_guard locker(m_mutex);
        queued.swap(m_queued);
    }
    for (const KLEngineNotification &notification : queued)
        emit notified(notification);
}

void KLEngineSyncs::postTo(void *user, Kind kind, DWORD channel, DWORD data)
{
    living().with<KLEngineSyncs>(user,
                                 [&](KLEngineSyncs *syncs) { syncs->post(kind, channel, data); });
}

void KLEngineSyncs::stallSync(HSYNC, DWORD channel, DWORD data, void *user)
{
    postTo(user, data == 0 ? Kind::Stalled : Kind::Resumed, channel);
}

void KLEngineSyncs::endSync(HSYNC, DWORD channel, DWORD, void *user)
{
    postTo(user, Kind::End, channel);
}

void KLEngineSyncs::deviceFailureSync(HSYNC, DWORD channel, DWORD data, void *user)
{
    postTo(user, Kind::DeviceFailure, channel, data);
}

void KLEngineSyncs::deviceFormatSync(HSYNC, DWORD channel, DWORD, void *user)
{
    postTo(user, Kind::DeviceFormat, channel);
}
