#include "klplayback.h"

#include "kllogging.h"
#include "klplayerinterface.h"
#include "rep_klplayer_merged.h"

#include <QTimer>

#include <algorithm>

KLPlayback::KLPlayback(KLPlayerInterface *player, QObject *parent)
    : QObject(parent ? parent : (player ? player->playerObject() : nullptr))
    , m_playerObject(player ? player->playerObject() : nullptr)
    , m_player(player)
    , m_coefTimer(new QTimer(this))
{
    m_coefTimer->setInterval(KL_PLAYBACK_COEF_INTERVAL_MS);
    connect(m_coefTimer, &QTimer::timeout, this, qOverload<>(&KLPlayback::updateBitrateCoef));
}

void KLPlayback::setCoefIntervalMs(int coefIntervalMs)
{
    m_coefTimer->setInterval(coefIntervalMs);
}

KLPlayerInterface *KLPlayback::player() const
{
    return m_playerObject ? m_player : nullptr;
}

KLPlaylistStreams KLPlayback::playerStreams() const
{
    auto *source = qobject_cast<KLPlayerSource *>(m_playerObject.data());
    return source ? source->streams() : KLPlaylistStreams();
}

QUrl KLPlayback::playerStreamUrl() const
{
    auto *source = qobject_cast<KLPlayerSource *>(m_playerObject.data());
    return source ? source->streamUrl() : QUrl();
}

bool KLPlayback::updateCurrentBitrate(uint currentBitrate)
{
    if (m_currentBitrate == currentBitrate)
        return false;
    m_currentBitrate = currentBitrate;
    emit currentBitrateChanged(m_currentBitrate);
    return true;
}

bool KLPlayback::updateBitrateCoef(double bitrateCoef)
{
    if (m_bitrateCoef == bitrateCoef)
        return false;
    m_bitrateCoef = bitrateCoef;
    emit bitrateCoefChanged(m_bitrateCoef);
    return true;
}

void KLPlayback::updateBitrateCoef()
{
    KLPlayerInterface *owner = player();
    if (!owner)
        return;

    double leaving = 0;
    if (m_samples.size() >= m_window)
        leaving = m_samples.takeFirst();
    const double sample = speedCoef();
    m_samples.append(sample);
    m_samplesMean += sample / m_window - leaving / m_window;
    if (m_samples.size() < m_window)
        return;

    const double step = m_samplesMean > m_threshold ? m_step : -m_step;
    updateBitrateCoef(std::clamp(m_bitrateCoef + step, 0.0, 1.0));

    const uint bitrate = owner->bitrateByCoef(m_bitrateCoef);
    if (bitrate != m_currentBitrate) {
        qCDebug(klLog) << owner->playerName() << "Change bitrate to:" << bitrate;
        updateCurrentBitrate(bitrate);
        emit restartRequired(bitrate);
    }
}

HSTREAM KLPlayback::start(QWORD startPos)
{
    Q_UNUSED(startPos)
    if (player())
        m_coefTimer->start();
    return 0;
}

void KLPlayback::stop()
{
    m_coefTimer->stop();
    emit metaUpdated(QString());
    updateCurrentBitrate(0);
}
