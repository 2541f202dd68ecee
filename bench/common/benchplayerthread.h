#pragma once

#include "klplayer.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QUrl>

// One player on a thread of its own, as the program runs its sources; the benchmarks ask it for
// its state across the thread.
class BenchPlayerThread
{
public:
    // measuresLoudness: the engine measures the stream's loudness (EBU R128) as it decodes.
    void start(const QUrl &url, bool measuresLoudness = false)
    {
        m_anchor = new QObject;
        m_anchor->moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(
            m_anchor,
            [this, url, measuresLoudness] {
                m_player = new KLPlayer;
                m_player->setIsMeasuresLoudness(measuresLoudness);
                // A stall after playback began is audio lost: the benchmarks report them.
                QObject::connect(m_player, &KLPlayerSource::stateChanged, m_player, [this] {
                    const auto state = m_player->state();
                    if (state == KLPlayerSource::PlayingState)
                        m_hasPlayed = true;
                    else if (state == KLPlayerSource::StalledState && m_hasPlayed)
                        ++m_stalls;
                });
                m_player->play(url);
            },
            Qt::BlockingQueuedConnection);
    }

    KLPlayerSource::State state()
    {
        auto state = KLPlayerSource::StoppedState;
        QMetaObject::invokeMethod(
            m_anchor, [this, &state] { state = m_player->state(); }, Qt::BlockingQueuedConnection);
        return state;
    }

    int stalls()
    {
        int stalls = 0;
        QMetaObject::invokeMethod(
            m_anchor, [this, &stalls] { stalls = m_stalls; }, Qt::BlockingQueuedConnection);
        return stalls;
    }

    void finish()
    {
        QMetaObject::invokeMethod(
            m_anchor,
            [this] {
                delete m_player;
                m_player = nullptr;
            },
            Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
        delete m_anchor;
        m_anchor = nullptr;
    }

private:
    QThread m_thread;
    QObject *m_anchor = nullptr;
    KLPlayer *m_player = nullptr;
    bool m_hasPlayed = false; // player thread
    int m_stalls = 0;         // player thread
};
