#include "klhlsplayback.h"

#include "kllogging.h"
#include "klplayerinterface.h"

KLHlsPlayback::KLHlsPlayback(KLPlayerInterface *player, QObject *parent)
    : KLPlayback(player, parent)
{}

HSTREAM KLHlsPlayback::start(QWORD startPos)
{
    Q_UNUSED(startPos)
    KLPlayerInterface *owner = player();
    if (!owner)
        return 0;
    qCWarning(klLog) << owner->playerName() << "Hls playback: not available in this build";
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
