#include "klpushplayback.h"

#include "kllogging.h"
#include "klplayer.h"

KLPushPlayback::KLPushPlayback(KLPlayer *player, QObject *parent)
    : KLPlayback(player, parent)
    , m_owner(player)
{}

HSTREAM KLPushPlayback::start(QWORD startPos)
{
    Q_UNUSED(startPos)
    if (!m_owner)
        return 0;
    qCWarning(klLog) << m_owner->playerName() << "Push playback: not available in this build";
    return 0;
}

void KLPushPlayback::stop()
{
    KLPlayback::stop();
}

double KLPushPlayback::speedCoef()
{
    return 1.0;
}
