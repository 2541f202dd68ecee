#pragma once

#include "klhlschunk.h"
#include "klplayerglobal.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

class QNetworkReply;
class QTimer;
class KLPlayerInterface;

// Keeps one HLS media playlist fresh: loads the playlist of the chosen variant, hands its
// segments over as chunks after every load that found some, and loads it again on a timer
// whose period follows the segment durations. Lives on the player's thread.
class KELVANEPLAYER_EXPORT KLHlsPlaylistUpdater : public QObject
{
    Q_OBJECT

    Q_PROPERTY(uint bitrate READ bitrate NOTIFY bitrateChanged)

    Q_PROPERTY(QUrl playlistUrl READ playlistUrl NOTIFY playlistUrlChanged)

    Q_PROPERTY(bool isActive READ isActive NOTIFY isActiveChanged)

    Q_PROPERTY(bool wasUpdated READ wasUpdated NOTIFY wasUpdatedChanged)

    Q_PROPERTY(bool isEnded READ isEnded NOTIFY isEndedChanged)

public:
    // Consecutive failed loads from which each failure is reported.
    static constexpr int KL_HLS_MAX_READ_ERRORS = 10;
    // Largest playlist body; a longer one is a failed load.
    static constexpr qint64 KL_HLS_MAX_PLAYLIST_SIZE = 1024 * 1024;

    // The parent is parent, or the player's object when parent is null.
    explicit KLHlsPlaylistUpdater(KLPlayerInterface *player, QObject *parent = nullptr);

    uint bitrate() const { return m_bitrate; }
    QUrl playlistUrl() const { return m_playlistUrl; }
    bool isActive() const { return m_isActive; }
    bool wasUpdated() const { return m_wasUpdated; }
    // The last load said that the playlist is complete ("#EXT-X-ENDLIST").
    bool isEnded() const { return m_isEnded; }
    // Period of the reload timer. The segments of each load set it; until then it may be set
    // here (tests).
    int reloadIntervalMs() const;
    void setReloadIntervalMs(int reloadIntervalMs);

    // Follows the playlist at url, whose variant has bitrate; an empty url stops following.
    void changePlaylist(uint bitrate, const QUrl &url);
    void resetPlaylist();

signals:
    void bitrateChanged(uint bitrate);
    void playlistUrlChanged(QUrl playlistUrl);
    void isActiveChanged(bool isActive);
    void wasUpdatedChanged(bool wasUpdated);
    void isEndedChanged(bool isEnded);
    void playlistUpdated(QMap<quint32, KLHlsChunk> chunks, QUrl playlistUrl);
    void playlistMaxReadErrorsCountReached();

protected slots:
    bool updateBitrate(uint bitrate);
    bool updatePlaylistUrl(const QUrl &playlistUrl);
    bool updateIsActive(bool isActive);
    bool updateWasUpdated(bool wasUpdated);
    bool updateIsEnded(bool isEnded);

private slots:
    void start();
    void stop();
    void updatePlaylist();
    void playlistRequestFinished();

private:
    KLPlayerInterface *player() const;
    void dropReply();

    uint m_bitrate = 0;
    QUrl m_playlistUrl;
    bool m_isActive = false;
    bool m_wasUpdated = false;
    bool m_isEnded = false;
    QPointer<QObject> m_playerObject;
    KLPlayerInterface *m_player = nullptr;
    QTimer *m_reloadTimer = nullptr;
    QPointer<QNetworkReply> m_reply;
    // The address that the running reply was asked for.
    QUrl m_requestUrl;
    int m_readErrorCount = 0;
};
