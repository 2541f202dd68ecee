#include "klhlsplayback.h"

#include "kllogging.h"
#include "klplayer.h"

KLHlsPlayback::KLHlsPlayback(KLPlayer *player, QObject *parent)
    : KLPlayback(player, parent)
    , m_owner(player)
{}

HSTREAM KLHlsPlayback::start(QWORD startPos)
{
    Q_UNUSED(startPos)
    if (!m_owner)
        return 0;
    qCWarning(klLog) << m_owner->playerName() << "Hls playback: not available in this build";
    return 0;
}

void KLHlsPlayback::stop()
{
    KLPlayback::stop();
}

double KLHlsPlayback::speedCoef()
{
    return 1.0;
}
