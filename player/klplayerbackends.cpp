#include "klplayerbackends.h"

#include "klbassplayback.h"
#include "klhlsplayback.h"
#include "klplayer.h"
#include "klpushplayback.h"
#include "klrecordplayback.h"

KLPlayerBackends::KLPlayerBackends(KLPlayer *player)
{
    m_bass = new KLBassPlayback(player, player);
    QObject::connect(m_bass, &KLPlayback::metaUpdated, player, [player](const QString &meta) {
        if (!player->isHls() && player->isPlaying())
            player->setMeta(meta);
    });
    QObject::connect(m_bass, &KLPlayback::currentBitrateChanged, player, [player](uint bitrate) {
        if (!player->isHls())
            player->setCurrentBitrate(bitrate);
    });
    QObject::connect(m_bass, &KLPlayback::restartRequired, player, &KLPlayer::restart);
    // A stream whose server names no bitrate is listed at a stand-in until the engine has
    // measured it.
    QObject::connect(m_bass, &KLBassPlayback::bitrateMeasured, player, [player](uint bitrate) {
        const KLPlaylistStreams listed = player->streams();
        if (player->isHls() || listed.size() != 1 || listed.contains(bitrate))
            return;
        KLPlaylistStreams measured;
        measured.insert(bitrate, listed.begin().value());
        player->setStreams(measured);
    });

    m_hls = new KLHlsPlayback(player, player);
    QObject::connect(m_hls, &KLPlayback::metaUpdated, player, [player](const QString &meta) {
        if (player->isHls() && player->isPlaying())
            player->setMeta(meta);
    });
    QObject::connect(m_hls, &KLPlayback::currentBitrateChanged, player, [player](uint bitrate) {
        if (player->isHls())
            player->setCurrentBitrate(bitrate);
    });
    QObject::connect(m_hls, &KLHlsPlayback::error, player, &KLPlayer::processError);

    m_push = new KLPushPlayback(player, player);
    m_record = new KLRecordPlayback(player, player);
}

KLPlayback *KLPlayerBackends::forAddress(const QUrl &url, bool isHls) const
{
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("push"))
        return m_push;
    if (scheme == QLatin1String("record"))
        return m_record;
    if (isHls)
        return m_hls;
    return m_bass;
}

void KLPlayerBackends::stop()
{
    m_bass->stop();
    m_hls->stop();
    m_push->stop();
    m_record->stop();
}

quint64 KLPlayerBackends::receivedBytes() const
{
    // The back-ends live as long as the player; pushed audio and recording come from no network.
    return m_bass->receivedBytes() + m_hls->receivedBytes();
}

QPointer<KLPushPlaybackDevice> KLPlayerBackends::pushPlaybackDevice() const
{
    return m_push->pushPlaybackDevice();
}
