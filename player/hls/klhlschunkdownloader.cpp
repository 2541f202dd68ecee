#include "klhlschunkdownloader.h"

#include "kllogging.h"
#include "klnetworkaccessmanager.h"
#include "klplayerinterface.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

KLHlsChunkDownloader::KLHlsChunkDownloader(KLPlayerInterface *player, QObject *parent)
    : QObject(parent ? parent : (player ? player->playerObject() : nullptr))
    , m_playerObject(player ? player->playerObject() : nullptr)
    , m_player(player)
    , m_errorTimer(new QTimer(this))
{
    m_errorTimer->setSingleShot(true);
    // Never sooner than the delay, not even by the few percent a coarse timer allows.
    m_errorTimer->setTimerType(Qt::PreciseTimer);
    connect(m_errorTimer, &QTimer::timeout, this, &KLHlsChunkDownloader::handleError);
}

KLPlayerInterface *KLHlsChunkDownloader::player() const
{
    return m_playerObject ? m_player : nullptr;
}

void KLHlsChunkDownloader::download(const QUrl &url)
{
    KLPlayerInterface *owner = player();
    if (!owner || !owner->nam())
        return;
    abort();
    updateIsDownloading(true);
    updateDownloadingUrl(url);
    m_elapsed.start();

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(KLNetworkAccessManager::MaxBodySizeAttribute, KL_HLS_MAX_CHUNK_SIZE);
    m_reply = owner->nam()->get(request);
    connect(m_reply, &QNetworkReply::finished, this,
            &KLHlsChunkDownloader::downloadRequestFinished);
}

void KLHlsChunkDownloader::abort()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    m_errorTimer->stop();
    m_elapsed.invalidate();
    updateDownloadingUrl(QUrl());
    updateIsDownloading(false);
}

void KLHlsChunkDownloader::downloadRequestFinished()
{
    KLPlayerInterface *owner = player();
    if (!owner || sender() != m_reply)
        return;
    m_reply = nullptr;

    QNetworkReply *reply = KLNetworkAccessManager::senderReply(
        sender(), owner->playerName() + QStringLiteral(" Hls chunk downloader request"), klLog());
    if (!reply) {
        const qint64 elapsed = m_elapsed.isValid() ? m_elapsed.elapsed() : m_errorDelayMs;
        if (elapsed < m_errorDelayMs)
            m_errorTimer->start(int(m_errorDelayMs - elapsed));
        else
            handleError();
        return;
    }

    const QByteArray data = reply->readAll();
    const QUrl url = m_downloadingUrl;
    m_elapsed.invalidate();
    updateDownloadingUrl(QUrl());
    updateIsDownloading(false);
    emit downloadingDone(url, data);
}

void KLHlsChunkDownloader::handleError()
{
    const QUrl url = m_downloadingUrl;
    m_elapsed.invalidate();
    updateDownloadingUrl(QUrl());
    updateIsDownloading(false);
    emit downloadingError(url);
}

bool KLHlsChunkDownloader::hasFailed() const
{
    return m_errorTimer->isActive();
}

bool KLHlsChunkDownloader::updateDownloadingUrl(const QUrl &downloadingUrl)
{
    if (m_downloadingUrl == downloadingUrl)
        return false;
    m_downloadingUrl = downloadingUrl;
    emit downloadingUrlChanged(m_downloadingUrl);
    return true;
}

bool KLHlsChunkDownloader::updateIsDownloading(bool isDownloading)
{
    if (m_isDownloading == isDownloading)
        return false;
    m_isDownloading = isDownloading;
    emit isDownloadingChanged(m_isDownloading);
    return true;
}
