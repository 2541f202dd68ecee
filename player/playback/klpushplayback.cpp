#include "klpushplayback.h"

#include "klbass.h"
#include "kllogging.h"
#include "klplayerinterface.h"

KLPushPlayback::KLPushPlayback(KLPlayerInterface *player, QObject *parent)
    : KLPlayback(player, parent)
    , m_device(new KLPushPlaybackDevice(this))
{
    m_device->open(QIODevice::WriteOnly);
}

HSTREAM KLPushPlayback::start(QWORD startPos)
{
    KLPlayerInterface *owner = player();
    if (!owner)
        return 0;

    KLPlayback::start(startPos);

    const QUrl url = playerStreamUrl();
    if (url.isEmpty()) {
        qCDebug(klLog) << owner->playerName() << "Push playback: player stream url is empty";
        return 0;
    }
    if (url.scheme() != QLatin1String("push")) {
        qCDebug(klLog) << owner->playerName()
                       << "Push playback: player stream url scheme is not valid";
        return 0;
    }

    const HSTREAM handle = BASS_StreamCreate(KL_PUSH_FREQ, KL_PUSH_CHANNELS, BASS_STREAM_AUTOFREE,
                                             STREAMPROC_PUSH, nullptr);
    if (!handle) {
        qCDebug(klLog) << owner->playerName() << "Push playback: Can not create push stream"
                       << KLBass::errorMessage();
        return 0;
    }
    if (!BASS_ChannelSetAttribute(handle, BASS_ATTRIB_PUSH_LIMIT, float(KL_PUSH_LIMIT))) {
        qCWarning(klLog) << owner->playerName() << "Can not set push channel limit attribute"
                         << KLBass::errorMessage();
        BASS_StreamFree(handle);
        return 0;
    }

    m_device->setStream(handle);
    return handle;
}

void KLPushPlayback::stop()
{
    KLPlayback::stop();
    m_device->setStream(0);
}

double KLPushPlayback::speedCoef()
{
    return 1.0;
}
