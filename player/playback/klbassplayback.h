#pragma once

#include "klplayback.h"

#include <QElapsedTimer>
#include <QString>

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

public slots:
    HSTREAM start(QWORD startPos = 0) override;
    void stop() override;

protected:
    double speedCoef() override;

private slots:
    // Emits the metadata of the player's current handle.
    void streamUpdateMeta();

private:
    QString streamReadMeta(HSTREAM handle) const;
    void streamDownloaded(uint bytes);

    // Engine callbacks, on engine threads.
    static void downloadProc(const void *buffer, DWORD length, void *user);
    static void metaSync(HSYNC handle, DWORD channel, DWORD data, void *user);

    QElapsedTimer m_speedClock;
    std::atomic<quint64> m_downloadedBytes = 0;
    // The engine's callbacks know this back-end by this serial (see KLCallbackRegistry).
    quintptr m_callbackSerial = 0;
};
