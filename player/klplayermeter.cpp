#include "klplayermeter.h"

#include "bass.h"
#include "klplayer.h"
#include "klstreamhandle.h"

#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double minusInfinity()
{
    return -std::numeric_limits<double>::infinity();
}

} // namespace

KLPlayerMeter::KLPlayerMeter(KLPlayer *player)
    : QObject(player)
    , m_player(player)
{
    // The ticks are the player's children, like its other timers.
    m_positionTimer = new QTimer(player);
    m_positionTimer->setInterval(positionIntervalMs);
    connect(m_positionTimer, &QTimer::timeout, this,
            &KLPlayerMeter::updatePositionAndBufferedLength);
    m_levelTimer = new QTimer(player);
    m_levelTimer->setInterval(levelIntervalMs);
    connect(m_levelTimer, &QTimer::timeout, this, &KLPlayerMeter::updateLevel);
}

// --- Timers ---------------------------------------------------------------------------------

void KLPlayerMeter::updateTimersForPlaying(bool isPlaying)
{
    if (isPlaying) {
        m_positionTimer->start();
        if (m_player->isUpdatesLevel())
            m_levelTimer->start();
    } else {
        m_positionTimer->stop();
        m_levelTimer->stop();
    }
}

void KLPlayerMeter::updateLevelTimer(bool isUpdatesLevel)
{
    if (!isUpdatesLevel)
        m_levelTimer->stop();
    else if (m_player->isPlaying())
        m_levelTimer->start();
}

void KLPlayerMeter::updateTimerIntervals(double rate)
{
    // A rate of 0 or less is refused by changePlaybackRate(); the timers keep their pace.
    if (!(rate > 0))
        return;
    const auto interval = [rate](int baseMs) {
        const double ms = std::trunc(baseMs / rate);
        return int(std::clamp(ms, 1.0, double(std::numeric_limits<int>::max())));
    };
    m_positionTimer->setInterval(interval(positionIntervalMs));
    m_levelTimer->setInterval(interval(levelIntervalMs));
}

// --- Measurements ---------------------------------------------------------------------------

void KLPlayerMeter::updateLength()
{
    const HSTREAM handle = m_player->stream();
    m_player->setLength(!m_player->isHls() && handle
                            ? m_player->startPosition() +
                                  KLStreamHandle(handle, m_player->playerName()).length()
                            : 0);
}

void KLPlayerMeter::updatePosition()
{
    const double p = m_player->startPosition() +
                     KLStreamHandle(m_player->stream(), m_player->playerName()).position();
    // The player's own setPosition() seeks: the property is written past it.
    if (p != m_player->position())
        m_player->KLPlayerSimpleSource::setPosition(p);
}

void KLPlayerMeter::updateBufferedLength()
{
    const QWORD buffered = m_player->streamFilePosition(BASS_FILEPOS_BUFFER);
    const QWORD end = m_player->streamFilePosition(BASS_FILEPOS_END);
    if (buffered == 0 || end == 0) {
        m_player->setBufferedLength(0);
        return;
    }
    const double length = m_player->length();
    double seconds = (length - m_player->startPosition()) * double(buffered) / double(end);
    seconds = std::min(std::max(seconds, 0.0), length - m_player->position());
    // A live stream's position runs past its length of 0: never report a negative amount.
    m_player->setBufferedLength(std::max(seconds, 0.0));
}

void KLPlayerMeter::updatePositionAndBufferedLength()
{
    updatePosition();
    updateBufferedLength();
}

void KLPlayerMeter::updateLevel()
{
    const HSTREAM handle = m_player->stream();
    const bool isLive = m_player->isPlaying() && handle;
    const float level = isLive ? KLStreamHandle(handle, m_player->playerName()).level() : 0;
    m_player->setLevel(level);
    m_player->setLevelDb(level > 0 ? double(20.0f * std::log10(level)) : minusInfinity());
    float momentary = -std::numeric_limits<float>::infinity();
    float shortTerm = momentary;
    if (isLive && m_player->isMeasuresLoudness()) {
        BASS_ChannelGetAttribute(handle, BASS_ATTRIB_LOUDNESS_M, &momentary);
        BASS_ChannelGetAttribute(handle, BASS_ATTRIB_LOUDNESS_S, &shortTerm);
    }
    m_player->setLoudnessMomentary(momentary);
    m_player->setLoudnessShortTerm(shortTerm);
}
