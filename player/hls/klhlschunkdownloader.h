#pragma once

#include "klplayerglobal.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QUrl>

class QNetworkReply;
class QTimer;
class KLPlayerInterface;

// Fetches one HLS segment at a time and reports its bytes or its failure; a failure is never
// reported sooner than KL_HLS_ERROR_DELAY_MS after its download started, so that whoever
// retries at once still retries at that pace. Lives on the player's thread.
class KELVANEPLAYER_EXPORT KLHlsChunkDownloader : public QObject
{
    Q_OBJECT

    Q_PROPERTY(QUrl downloadingUrl READ downloadingUrl NOTIFY downloadingUrlChanged)

    Q_PROPERTY(bool isDownloading READ isDownloading NOTIFY isDownloadingChanged)

public:
    static constexpr int KL_HLS_ERROR_DELAY_MS = 10000;
    // Largest segment; a longer one is a failed download.
    static constexpr qint64 KL_HLS_MAX_CHUNK_SIZE = 32 * 1024 * 1024;

    // The parent is parent, or the player's object when parent is null.
    explicit KLHlsChunkDownloader(KLPlayerInterface *player, QObject *parent = nullptr);

    QUrl downloadingUrl() const { return m_downloadingUrl; }
    bool isDownloading() const { return m_isDownloading; }
    // The download has failed and waits for its report: isDownloading, but nothing is coming.
    bool hasFailed() const;

    // Fetches url, cancelling whatever ran or waited to be reported.
    void download(const QUrl &url);
    // Cancels without reporting anything.
    void abort();
    // Shortens the least time between a download's start and its failure report (tests).
    void setErrorDelayMs(int errorDelayMs) { m_errorDelayMs = errorDelayMs; }

signals:
    void downloadingUrlChanged(QUrl downloadingUrl);
    void isDownloadingChanged(bool isDownloading);
    void downloadingError(QUrl url);
    void downloadingDone(QUrl url, QByteArray data);

protected slots:
    bool updateDownloadingUrl(const QUrl &downloadingUrl);
    bool updateIsDownloading(bool isDownloading);
    void downloadRequestFinished();
    void handleError();

private:
    KLPlayerInterface *player() const;

    QUrl m_downloadingUrl;
    bool m_isDownloading = false;
    QPointer<QObject> m_playerObject;
    KLPlayerInterface *m_player = nullptr;
    QElapsedTimer m_elapsed;
    QTimer *m_errorTimer = nullptr;
    QPointer<QNetworkReply> m_reply;
    int m_errorDelayMs = KL_HLS_ERROR_DELAY_MS;
};
