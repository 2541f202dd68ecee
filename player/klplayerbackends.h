#pragma once

#include <QPointer>

class QUrl;
class KLPlayer;
class KLPlayback;
class KLBassPlayback;
class KLHlsPlayback;
class KLPushPlayback;
class KLRecordPlayback;
class KLPushPlaybackDevice;

// A player's four back-ends (internet or local file, HLS, pushed audio, recording device): the
// one that plays an address, and what their reports change in the player. The back-ends are
// the player's children; their signals may come from engine threads, the player's own thread
// handles them.
class KLPlayerBackends
{
public:
    explicit KLPlayerBackends(KLPlayer *player);

    // The back-end of an address: "push:" and "record:" addresses have their own, the others
    // play through HLS or the engine's own streams.
    KLPlayback *forAddress(const QUrl &url, bool isHls) const;
    KLHlsPlayback *hls() const { return m_hls; }
    void stop();
    // Bytes that the back-ends' streams received from the network, over every reconnection.
    quint64 receivedBytes() const;
    QPointer<KLPushPlaybackDevice> pushPlaybackDevice() const;

private:
    KLBassPlayback *m_bass = nullptr;
    KLHlsPlayback *m_hls = nullptr;
    KLPushPlayback *m_push = nullptr;
    KLRecordPlayback *m_record = nullptr;
};
