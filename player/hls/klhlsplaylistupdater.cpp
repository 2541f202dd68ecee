#include "klhlsplaylistupdater.h"

#include "klhlsmediaplaylist.h"
#include "kllogging.h"
#include "klnetworkaccessmanager.h"
#include "klplayerinterface.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

KLHlsPlaylistUpdater::KLHlsPlaylistUpdater(KLPlayerInterface *player, QObject *parent)
    : QObject(parent ? parent : (player ? player->playerObject() : nullptr))
    , m_playerObject(player ? player->playerObject() : nullptr)
    , m_player(player)
    , m_reloadTimer(new QTimer(this))
{
    m_reloadTimer->setInterval(KLHlsMediaPlaylist::KL_HLS_DEFAULT_RELOAD_MS);
    connect(m_reloadTimer, &QTimer::timeout, this, &KLHlsPlaylistUpdater::updatePlaylist);
}

KLPlayerInterface *KLHlsPlaylistUpdater::player() const
{
    return m_playerObject ? m_player : nullptr;
}

int KLHlsPlaylistUpdater::reloadIntervalMs() const
{
    return m_reloadTimer->interval();
}

void KLHlsPlaylistUpdater::setReloadIntervalMs(int reloadIntervalMs)
{
    m_reloadTimer->setInterval(reloadIntervalMs);
}

void KLHlsPlaylistUpdater::changePlaylist(uint bitrate, const QUrl &url)
{
    updateBitrate(url.isEmpty() ? 0 : bitrate);
    updatePlaylistUrl(url);
    if (url.isEmpty())
        stop();
    else
        start();
}

void KLHlsPlaylistUpdater::resetPlaylist()
{
    changePlaylist(0, QUrl());
}

void KLHlsPlaylistUpdater::start()
{
    if (!m_playlistUrl.isEmpty())
        updatePlaylist();
    if (!m_reloadTimer->isActive()) {
        updateIsActive(true);
        m_reloadTimer->start();
        m_readErrorCount = 0;
    }
}

void KLHlsPlaylistUpdater::stop()
{
    m_reloadTimer->stop();
    m_readErrorCount = 0;
    dropReply();
    updateIsEnded(false);
    updateIsActive(false);
    updateWasUpdated(false);
}

void KLHlsPlaylistUpdater::dropReply()
{
    if (!m_reply)
        return;
    m_reply->disconnect(this);
    m_reply->abort();
    m_reply->deleteLater();
    m_reply = nullptr;
}

void KLHlsPlaylistUpdater::updatePlaylist()
{
    KLPlayerInterface *owner = player();
    if (!owner || !owner->nam() || m_playlistUrl.isEmpty())
        return;
    if (m_reply && m_reply->isRunning()) {
        // The address asked for: the reply's own may be a redirect's target, and another query
        // may name another variant.
        if (m_requestUrl == m_playlistUrl) {
            qCDebug(klLog) << owner->playerName()
                           << "Hls playlist updater: skip playlist update request, cause "
                              "previous still running";
            return;
        }
        qCWarning(klLog) << owner->playerName()
                         << "Hls playlist updater: abort prev playlist request";
    }
    dropReply();

    QNetworkRequest request(m_playlistUrl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(KLNetworkAccessManager::MaxBodySizeAttribute, KL_HLS_MAX_PLAYLIST_SIZE);
    m_reply = owner->nam()->get(request);
    m_requestUrl = m_playlistUrl;
    connect(m_reply, &QNetworkReply::finished, this,
            &KLHlsPlaylistUpdater::playlistRequestFinished);
}

void KLHlsPlaylistUpdater::playlistRequestFinished()
{
    KLPlayerInterface *owner = player();
    if (!owner || sender() != m_reply)
        return;
    m_reply = nullptr;

    QNetworkReply *reply = KLNetworkAccessManager::senderReply(
        sender(), owner->playerName() + QStringLiteral(" Hls playlist updater request"), klLog());
    if (!reply) {
        if (++m_readErrorCount >= KL_HLS_MAX_READ_ERRORS)
            emit playlistMaxReadErrorsCountReached();
        return;
    }

    const QUrl finalUrl = reply->url();
    const KLHlsMediaPlaylist playlist =
        KLHlsMediaPlaylist::parse(reply->readAll(), finalUrl, m_bitrate);
    m_reloadTimer->setInterval(playlist.reloadIntervalMs);
    m_readErrorCount = 0;
    if (playlist.chunks.isEmpty())
        return;
    updateIsEnded(playlist.isEnded);
    emit playlistUpdated(playlist.chunks, finalUrl);
    updateWasUpdated(true);
}

bool KLHlsPlaylistUpdater::updateBitrate(uint bitrate)
{
    if (m_bitrate == bitrate)
        return false;
    m_bitrate = bitrate;
    emit bitrateChanged(m_bitrate);
    return true;
}

bool KLHlsPlaylistUpdater::updatePlaylistUrl(const QUrl &playlistUrl)
{
    if (m_playlistUrl == playlistUrl)
        return false;
    m_playlistUrl = playlistUrl;
    emit playlistUrlChanged(m_playlistUrl);
    return true;
}

bool KLHlsPlaylistUpdater::updateIsActive(bool isActive)
{
    if (m_isActive == isActive)
        return false;
    m_isActive = isActive;
    emit isActiveChanged(m_isActive);
    return true;
}

bool KLHlsPlaylistUpdater::updateWasUpdated(bool wasUpdated)
{
    if (m_wasUpdated == wasUpdated)
        return false;
    m_wasUpdated = wasUpdated;
    emit wasUpdatedChanged(m_wasUpdated);
    return true;
}

bool KLHlsPlaylistUpdater::updateIsEnded(bool isEnded)
{
    if (m_isEnded == isEnded)
        return false;
    m_isEnded = isEnded;
    emit isEndedChanged(m_isEnded);
    return true;
}
