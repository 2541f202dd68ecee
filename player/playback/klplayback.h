#pragma once

#include "klplayerglobal.h"
#include "klplaylisttypes.h"

#include <bass.h>

#include <QList>
#include <QObject>
#include <QPointer>

#include <atomic>

class QTimer;
class KLPlayerInterface;

// Base of the playback back-ends: a back-end creates the engine stream that its player plays,
// and shares the adaptive-bitrate controller. Every 500 ms while started it takes a speed
// sample, keeps the mean of the last samples, nudges the bitrate coefficient (0 to 1) up when
// the mean is above the threshold and down otherwise, and asks the player which bitrate the
// coefficient maps to; when that bitrate changes it emits restartRequired.
class KELVANEPLAYER_EXPORT KLPlayback : public QObject
{
    Q_OBJECT

    Q_PROPERTY(uint currentBitrate READ currentBitrate NOTIFY currentBitrateChanged)

    Q_PROPERTY(double bitrateCoef READ bitrateCoef NOTIFY bitrateCoefChanged)

public:
    static constexpr int KL_PLAYBACK_COEF_INTERVAL_MS = 500;

    // The parent is parent, or the player's object when parent is null.
    explicit KLPlayback(KLPlayerInterface *player, QObject *parent = nullptr);

    uint currentBitrate() const { return m_currentBitrate; }
    double bitrateCoef() const { return m_bitrateCoef; }
    // Bytes of the stream that arrived from the network since the back-end was made, over
    // every start; never goes down. Safe to read from any thread.
    quint64 receivedBytes() const { return m_receivedBytes.load(std::memory_order_relaxed); }
    // Changes the period of the adaptive-bitrate evaluation (tests).
    void setCoefIntervalMs(int coefIntervalMs);

signals:
    void currentBitrateChanged(uint currentBitrate);
    void bitrateCoefChanged(double bitrateCoef);
    // Stream metadata (an ICY "StreamTitle='…';" text, unparsed); empty when there is none.
    void metaUpdated(const QString &meta);
    // The stream must be created anew for newBitrate.
    void restartRequired(uint newBitrate);

protected slots:
    // One adaptive-bitrate evaluation; driven by the coefficient timer.
    virtual void updateBitrateCoef();

public slots:
    // Creates the stream from byte position startPos and returns its handle, 0 on failure.
    // The player plays and eventually frees the handle.
    virtual HSTREAM start(QWORD startPos = 0);
    // Releases what start() set up.
    virtual void stop();

protected:
    // One speed sample, compared with the threshold.
    virtual double speedCoef() = 0;

    bool updateCurrentBitrate(uint currentBitrate);
    bool updateBitrateCoef(double bitrateCoef);
    // Counts bytes that arrived; may be called from any thread.
    void addReceivedBytes(quint64 bytes)
    {
        m_receivedBytes.fetch_add(bytes, std::memory_order_relaxed);
    }

    // The player, or null once it is gone.
    KLPlayerInterface *player() const;
    // The player's streams (empty once the player is gone).
    KLPlaylistStreams playerStreams() const;
    // The address the player plays (empty once the player is gone).
    QUrl playerStreamUrl() const;

    uint m_currentBitrate = 0;
    double m_bitrateCoef = 1.0;
    QPointer<QObject> m_playerObject;
    KLPlayerInterface *m_player = nullptr;
    QTimer *m_coefTimer = nullptr;
    QList<double> m_samples;
    double m_samplesMean = 0;
    int m_window = 20;
    double m_threshold = 0.5;
    double m_step = 0.01;
    std::atomic<quint64> m_receivedBytes = 0;
};
