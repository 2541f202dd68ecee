#pragma once

#include <QObject>

class QTimer;
class KLPlayer;

// What a player measures of its handle and publishes in its properties: the length, the
// position and how much is downloaded (every 500 ms while it plays), the level and the loudness
// (every 100 ms while it plays and isUpdatesLevel is set). The ticks follow the playback rate.
// A child of its player, on the player's thread.
class KLPlayerMeter : public QObject
{
    Q_OBJECT

public:
    static constexpr int positionIntervalMs = 500;
    static constexpr int levelIntervalMs = 100;

    explicit KLPlayerMeter(KLPlayer *player);

    void updateLength();
    void updatePosition();
    void updateBufferedLength();
    void updatePositionAndBufferedLength();
    void updateLevel();

    // The ticks run while the player plays; the level's only while isUpdatesLevel is set.
    void updateTimersForPlaying(bool isPlaying);
    void updateLevelTimer(bool isUpdatesLevel);
    // The ticks come rate times as often; a rate of 0 or less leaves them as they are.
    void updateTimerIntervals(double rate);

private:
    KLPlayer *m_player;
    QTimer *m_positionTimer = nullptr;
    QTimer *m_levelTimer = nullptr;
};
