#include "kldaastplayer.h"

#include "kldaast.h"
#include "klplayer.h"

namespace {

// Share of the volume left while ducked.
constexpr double duckFactor = 0.2;

} // namespace

KLDaastPlayer::KLDaastPlayer(KLNetworkAccessManager *nam, QObject *parent)
    : KLPlayerSimpleSource(parent)
    , m_player(nam ? new KLPlayer(nam, this) : new KLPlayer(this))
    , m_daast(new KLDaast(m_player))
{
    m_daastTimeoutMs = m_daast->daastTimeoutMs();

    connect(this, &KLPlayerSource::stateChanged, this, &KLDaastPlayer::updateStateHelpers);
    connect(this, &KLPlayerSource::duckVolumeChanged, this, &KLDaastPlayer::updateVolume);
    connect(this, &KLPlayerSource::volumeChanged, this, &KLDaastPlayer::updateVolume);
    connect(this, &KLDaastPlayer::daastUrlChanged, m_daast,
            [this](const QString &url) { m_daast->setDaastUrl(QUrl(url, QUrl::TolerantMode)); });
    connect(this, &KLDaastPlayer::daastTimeoutMsChanged, m_daast, &KLDaast::setDaastTimeoutMs);

    connect(m_daast, &KLDaast::started, this, &KLDaastPlayer::daastStarted);
    connect(m_daast, &KLDaast::error, this, &KLDaastPlayer::daastError);
    connect(m_daast, &KLDaast::skipped, this, &KLDaastPlayer::daastSkipped);
    connect(m_daast, &KLDaast::ended, this, &KLDaastPlayer::daastEnded);
    connect(m_daast, &KLDaast::skipped, this, &KLDaastPlayer::handleDaastEnd);
    connect(m_daast, &KLDaast::ended, this, &KLDaastPlayer::handleDaastEnd);
    connect(m_daast, &KLDaast::aboutToEnd, this, &KLDaastPlayer::handleDaastEnd);
    connect(m_daast, &KLDaast::stateChanged, this, &KLDaastPlayer::updateState);

    KLPlayer *p = m_player;
    connect(p, &KLPlayerSource::ended, this, &KLPlayerSource::ended);
    connect(p, &KLPlayerSource::error, this, &KLPlayerSource::error);
    connect(p, &KLPlayerSource::streamUrlChanged, this, &KLDaastPlayer::setStreamUrlValue);
    connect(p, &KLPlayerSource::isRestartedChanged, this, &KLDaastPlayer::setIsRestartedValue);
    connect(p, &KLPlayerSource::isHlsChanged, this, &KLDaastPlayer::setIsHls);
    connect(p, &KLPlayerSource::isSeekableChanged, this, &KLDaastPlayer::setIsSeekable);
    connect(p, &KLPlayerSource::stateChanged, this, &KLDaastPlayer::updateState);
    connect(p, &KLPlayerSource::lengthChanged, this, &KLDaastPlayer::setLength);
    connect(p, &KLPlayerSource::bufferedLengthChanged, this, &KLDaastPlayer::setBufferedLength);
    connect(p, &KLPlayerSource::startPositionChanged, this, &KLDaastPlayer::setStartPosition);
    connect(p, &KLPlayerSource::positionChanged, this, &KLDaastPlayer::setPositionValue);
    connect(p, &KLPlayerSource::playbackRateChanged, this, &KLDaastPlayer::setPlaybackRateValue);
    connect(p, &KLPlayerSource::metaChanged, this, &KLDaastPlayer::setMeta);
    connect(p, &KLPlayerSource::streamsChanged, this, &KLDaastPlayer::setStreams);
    connect(p, &KLPlayerSource::availableBitratesChanged, this,
            &KLDaastPlayer::setAvailableBitrates);
    connect(p, &KLPlayerSource::playingBitratesChanged, this, &KLDaastPlayer::setPlayingBitrates);
    connect(p, &KLPlayerSource::currentBitrateChanged, this, &KLDaastPlayer::setCurrentBitrate);
    connect(p, &KLPlayerSource::currentQualityChanged, this, &KLDaastPlayer::setCurrentQuality);
    connect(p, &KLPlayerSource::playingBitrateChanged, this,
            &KLDaastPlayer::setPlayingBitrateValue);
    connect(p, &KLPlayerSource::playingQualityChanged, this,
            &KLDaastPlayer::setPlayingQualityValue);

    mirrorPlayer();
    updateStateHelpers();
}

KLDaastPlayer::~KLDaastPlayer() = default;

void KLDaastPlayer::mirrorPlayer()
{
    const KLPlayer *p = m_player;
    setStreamUrlValue(p->streamUrl());
    setIsRestartedValue(p->isRestarted());
    setIsHls(p->isHls());
    setIsSeekable(p->isSeekable());
    updateState();
    setLength(p->length());
    setBufferedLength(p->bufferedLength());
    setStartPosition(p->startPosition());
    setPositionValue(p->position());
    setPlaybackRateValue(p->playbackRate());
    setMeta(p->meta());
    KLPlayerSimpleSource::setVolume(p->volume());
    KLPlayerSimpleSource::setDuckVolume(p->duckVolume());
    setStreams(p->streams());
    setAvailableBitrates(p->availableBitrates());
    setPlayingBitrates(p->playingBitrates());
    setCurrentBitrate(p->currentBitrate());
    setCurrentQuality(p->currentQuality());
    setPlayingBitrateValue(p->playingBitrate());
    setPlayingQualityValue(p->playingQuality());
    // The volume copy may have changed nothing; the ad gets its volume all the same.
    updateVolume();
}

void KLDaastPlayer::daastClick()
{
    m_daast->click();
}

bool KLDaastPlayer::setDaastUrl(const QString &daastUrl)
{
    if (m_daastUrl == daastUrl)
        return false;
    m_daastUrl = daastUrl;
    emit daastUrlChanged(m_daastUrl);
    return true;
}

bool KLDaastPlayer::setDaastTimeoutMs(int daastTimeoutMs)
{
    if (m_daastTimeoutMs == daastTimeoutMs)
        return false;
    m_daastTimeoutMs = daastTimeoutMs;
    emit daastTimeoutMsChanged(m_daastTimeoutMs);
    return true;
}

// --- Commands: the player does the work; its reports come back through the mirrored values --

void KLDaastPlayer::setStreamUrl(QUrl streamUrl)
{
    m_player->setStreamUrl(streamUrl);
}

void KLDaastPlayer::setIsRestarted(bool isRestarted)
{
    m_player->setIsRestarted(isRestarted);
}

void KLDaastPlayer::setPosition(double position)
{
    m_player->setPosition(position);
}

void KLDaastPlayer::setPlaybackRate(double playbackRate)
{
    m_player->setPlaybackRate(playbackRate);
}

void KLDaastPlayer::setPlayingBitrate(quint32 playingBitrate)
{
    m_player->setPlayingBitrate(playingBitrate);
}

void KLDaastPlayer::setPlayingQuality(KLPlayerSource::Quality playingQuality)
{
    m_player->setPlayingQuality(playingQuality);
}

void KLDaastPlayer::play(QUrl url)
{
    m_player->setVolume(0);
    m_player->play(url);
    m_daast->play();
}

void KLDaastPlayer::play()
{
    m_player->setVolume(0);
    m_player->play();
    m_daast->play();
}

void KLDaastPlayer::pause()
{
    m_player->pause();
    holdAd();
}

void KLDaastPlayer::stop()
{
    m_player->stop();
    holdAd();
}

void KLDaastPlayer::holdAd()
{
    // A playing ad is kept paused: the next play() resumes it while its address is unchanged.
    // An ad whose document is still on its way has nothing to keep: it is cancelled, so that it
    // cannot start after the listener stopped, and the next play() asks for one anew.
    if (m_daast->isRequestRunning())
        m_daast->stop();
    else
        m_daast->pause();
}

void KLDaastPlayer::skipForward(double duration)
{
    m_player->skipForward(duration);
}

void KLDaastPlayer::skipBackward(double duration)
{
    m_player->skipBackward(duration);
}

// --- Values reported by the player ----------------------------------------------------------

void KLDaastPlayer::setStreamUrlValue(const QUrl &streamUrl)
{
    KLPlayerSimpleSource::setStreamUrl(streamUrl);
}

void KLDaastPlayer::setIsRestartedValue(bool isRestarted)
{
    KLPlayerSimpleSource::setIsRestarted(isRestarted);
}

void KLDaastPlayer::setPositionValue(double position)
{
    KLPlayerSimpleSource::setPosition(position);
}

void KLDaastPlayer::setPlaybackRateValue(double playbackRate)
{
    KLPlayerSimpleSource::setPlaybackRate(playbackRate);
}

void KLDaastPlayer::setPlayingBitrateValue(quint32 playingBitrate)
{
    KLPlayerSimpleSource::setPlayingBitrate(playingBitrate);
}

void KLDaastPlayer::setPlayingQualityValue(KLPlayerSource::Quality playingQuality)
{
    KLPlayerSimpleSource::setPlayingQuality(playingQuality);
}

// --- Arbitration between the ad and the stream ----------------------------------------------

void KLDaastPlayer::handleDaastEnd()
{
    m_player->setVolume(volume());
}

void KLDaastPlayer::updateVolume()
{
    const double adVolume = duckVolume() ? volume() * duckFactor : volume();
    m_daast->setVolume(adVolume);
    const KLPlayerSource::State adState = m_daast->state();
    const bool adSounds =
        adState == KLPlayerSource::PlayingState || adState == KLPlayerSource::StalledState;
    m_player->setVolume(adSounds ? 0.0 : volume());
    m_player->setDuckVolume(duckVolume());
}

void KLDaastPlayer::updateState()
{
    const KLPlayerSource::State adState = m_daast->state();
    const bool adShows = adState == KLPlayerSource::PlayingState ||
                         adState == KLPlayerSource::StalledState ||
                         adState == KLPlayerSource::PausedState;
    setState(adShows ? adState : m_player->state());
}

void KLDaastPlayer::updateStateHelpers()
{
    const KLPlayerSource::State s = state();
    setIsPlaying(s == PlayingState || s == StalledState);
    setIsStalled(s == StalledState);
    setIsPaused(s == PausedState);
    setIsStopped(s == StoppedState || s == ErrorState);
}
