#pragma once

#include "klhlschunk.h"
#include "klplayerglobal.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkReply;
class KLPlayerInterface;

// What a segment needs besides its own bytes before it can be played: the initialization
// segment of fragmented MP4 and the key of an AES-128 encrypted segment. Fetches them through
// the player's network access manager (its credentials and time limits apply), bounded in size,
// once per address, and keeps the last few; decrypts segments (AES-128 in CBC mode with
// PKCS#7 padding, the vector from the playlist or the sequence number). Other encryption
// methods, unusable keys, unsupported initialization segments and segments that do not decrypt
// to audio are failures reported through error(), which ends the stream. Lives on the player's
// thread.
class KELVANEPLAYER_EXPORT KLHlsSegmentResources : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 KL_HLS_MAX_INIT_SIZE = 1024 * 1024;
    static constexpr qint64 KL_HLS_MAX_KEY_SIZE = 1024;
    static constexpr int KL_HLS_AES_KEY_SIZE = 16;
    // Kept resources (keys and initialization segments together).
    static constexpr int KL_HLS_MAX_KEPT = 16;
    // A resource that failed is asked for again no sooner than this, and the stream fails
    // after this many failures in a row.
    static constexpr int KL_HLS_RETRY_DELAY_MS = 10000;
    static constexpr int KL_HLS_MAX_FAILURES = 3;

    explicit KLHlsSegmentResources(KLPlayerInterface *player, QObject *parent = nullptr);
    ~KLHlsSegmentResources() override;

    // True when everything the chunk needs is at hand; otherwise starts fetching what is
    // missing and emits ready() once it has come (or error()).
    bool prepare(const KLHlsChunk &chunk);
    // The bytes of a downloaded segment of the chunk as the demuxer takes them: decrypted when
    // the chunk is encrypted. False with a message when they cannot be had.
    bool plainSegment(const KLHlsChunk &chunk, const QByteArray &bytes, QByteArray *plain,
                      QString *message) const;
    // The chunk's initialization segment; empty when it has none.
    QByteArray initSegment(const KLHlsChunk &chunk) const;
    // Forgets everything kept and cancels every fetch.
    void clear();
    // Forgets past failures (a new start tries again), keeping what was fetched.
    void resetFailures();
    // Shortens the retry delay (tests).
    void setRetryDelayMs(int retryDelayMs) { m_retryDelayMs = retryDelayMs; }

    // AES-128-CBC decryption with PKCS#7 padding; false when the size or the padding is wrong.
    static bool decrypt(const QByteArray &key, const QByteArray &iv, const QByteArray &data,
                        QByteArray *plain);

signals:
    void ready();
    void error(QString errorMessage);

private slots:
    void requestFinished();

private:
    enum class Kind {
        Key,
        Init,
    };
    struct Failure
    {
        int count = 0;
        QElapsedTimer since;
    };

    KLPlayerInterface *player() const;
    // True when kept; otherwise fetches it unless it is on its way or waits for a retry.
    bool need(const QUrl &url, Kind kind);
    void keep(const QUrl &url, const QByteArray &bytes);
    void fail(const QUrl &url, const QString &message);

    QPointer<QObject> m_playerObject;
    KLPlayerInterface *m_player = nullptr;
    QHash<QUrl, QByteArray> m_kept;
    QList<QUrl> m_keptOrder;
    QHash<QUrl, Failure> m_failures;
    QList<QPointer<QNetworkReply>> m_replies;
    int m_retryDelayMs = KL_HLS_RETRY_DELAY_MS;
    bool m_failed = false;
};
