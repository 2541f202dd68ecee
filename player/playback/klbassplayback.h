#pragma once

#include "klplayback.h"

#include <QElapsedTimer>
#include <QString>

class QTimer;

#include <atomic>

// The back-end for everything the engine opens by itself: HTTP and ICY streams, playlists
// that the engine resolves, and local files. Its speed sample is the download rate in bit/s,
// so its coefficient stays at 1 while any data arrives and falls only when downloads stop.
class KELVANEPLAYER_EXPORT KLBassPlayback : public KLPlayback
{
    Q_OBJECT

public:
    // Verification sizes: bytes that decide a stream's format, from its start and elsewhere.
    static constexpr uint KL_VERIFY_NET_SIZE = 4096;
    static constexpr uint KL_VERIFY_NET_SIZE_SEEK = 0x18000;

    explicit KLBassPlayback(KLPlayerInterface *player, QObject *parent = nullptr);
    ~KLBassPlayback() override;

    // The standard bitrate (bit/s) nearest to a measured one.
    static uint standardBitrate(double bitsPerSecond);

signals:
    // The engine has measured the bitrate of a stream whose server named none, and the stream
    // is listed at the stand-in bitrate: the player lists it at this one instead. The back-end's
    // current bitrate becomes this right after.
    void bitrateMeasured(uint bitrate);

public slots:
    HSTREAM start(QWORD startPos = 0) override;
    void stop() override;

protected:
    double speedCoef() override;

private slots:
    // Emits the metadata of the player's current handle.
    void streamUpdateMeta();
    // Takes the engine's measure of the stream's bitrate once there is one.
    void checkMeasuredBitrate();

private:
    QString streamReadMeta(HSTREAM handle) const;
    // Whether the stream is listed at the stand-in bitrate because its server named none.
    bool hasStandInBitrate(HSTREAM handle) const;
    void streamDownloaded(uint bytes);

    // Engine callbacks, on engine threads.
    static void downloadProc(const void *buffer, DWORD length, void *user);
    static void metaSync(HSYNC handle, DWORD channel, DWORD data, void *user);

    QTimer *m_bitrateTimer = nullptr;
    HSTREAM m_measuredStream = 0;
    QElapsedTimer m_speedClock;
    std::atomic<quint64> m_downloadedBytes = 0;
    // The engine's callbacks know this back-end by this serial (see KLCallbackRegistry).
    quintptr m_callbackSerial = 0;
};
