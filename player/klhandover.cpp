#include "klhandover.h"

#include <bass.h>

KLHandOver::~KLHandOver()
{
    detach();
}

void KLHandOver::arm(KLStreamCell standby, float volume, uint fadeMs)
{
    std::lock_guard locker(m_mutex);
    m_standby = std::move(standby);
    m_volume = volume;
    m_fadeMs = fadeMs;
}

void KLHandOver::disarm()
{
    arm(nullptr, 0, 0);
}

bool KLHandOver::attach(HSTREAM handle)
{
    detach();
    for (const DWORD type : {DWORD(BASS_SYNC_STALL), DWORD(BASS_SYNC_END)}) {
        const HSYNC sync =
            BASS_ChannelSetSync(handle, type | BASS_SYNC_MIXTIME, 0, &KLHandOver::runDry, this);
        if (!sync) {
            detach();
            return false;
        }
        m_watched = handle;
        m_syncs.push_back(sync);
    }
    return true;
}

void KLHandOver::detach()
{
    // A handle freed meanwhile took its syncs with it; the removal then fails harmlessly.
    for (const HSYNC sync : m_syncs)
        BASS_ChannelRemoveSync(m_watched, sync);
    m_syncs.clear();
    m_watched = 0;
}

void KLHandOver::runDry(HSYNC, DWORD, DWORD data, void *user)
{
    // On the mixing thread: quick, and nothing but attributes.
    auto *self = static_cast<KLHandOver *>(user);
    if (data != 0)
        return; // a stalled stream resumed
    std::lock_guard locker(self->m_mutex);
    if (!self->m_standby)
        return;
    const HSTREAM standby = self->m_standby->load(std::memory_order_acquire);
    if (standby &&
        BASS_ChannelSlideAttribute(standby, BASS_ATTRIB_VOL, self->m_volume, self->m_fadeMs))
        self->m_handedOver.store(true);
}
