#include "klrecordplayback.h"

#include "kllogging.h"
#include "klplayer.h"

KLRecordPlayback::KLRecordPlayback(KLPlayer *player, QObject *parent)
    : KLPlayback(player, parent)
    , m_owner(player)
{}

HSTREAM KLRecordPlayback::start(QWORD startPos)
{
    Q_UNUSED(startPos)
    if (!m_owner)
        return 0;
    qCWarning(klLog) << m_owner->playerName() << "Record playback: not available in this build";
    return 0;
}

void KLRecordPlayback::stop()
{
    KLPlayback::stop();
}

double KLRecordPlayback::speedCoef()
{
    return 1.0;
}
