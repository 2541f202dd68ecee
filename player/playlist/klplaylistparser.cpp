#include "klplaylistparser.h"

#include "klcredentials.h"
#include "klicyprobe.h"
#include "kllogging.h"
#include "klnetworkaccessmanager.h"
#include "klplayerinterface.h"
#include "klplaylistformat.h"

#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

bool isNetworkAddress(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

} // namespace

KLPlaylistParser::KLPlaylistParser(KLPlayerInterface *player)
    : QObject(player ? player->playerObject() : nullptr)
    , m_playerObject(player ? player->playerObject() : nullptr)
    , m_player(player)
{}

KLPlaylistParser::~KLPlaylistParser()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
}

KLPlayerInterface *KLPlaylistParser::player() const
{
    return m_playerObject ? m_player : nullptr;
}

void KLPlaylistParser::parse(const QUrl &url)
{
    KLPlayerInterface *owner = player();
    if (!owner || !owner->nam())
        return;

    abort();

    // Push and recording addresses name back-ends of their own and are never fetched.
    if (url.scheme() == QLatin1String("push") || url.scheme() == QLatin1String("record")) {
        emit parsingFinished(KLPlaylistStreams(), false);
        return;
    }

    updateIsProcessing(true);
    m_url = url;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    // Only a master list is read past its first bytes; its bound is kept while reading, so a
    // large stream or local file behind the address is not refused for its size.
    request.setAttribute(KLNetworkAccessManager::MaxBodySizeAttribute, qint64(0));
    m_reply = owner->nam()->get(request);
    connect(m_reply, &QNetworkReply::finished, this, &KLPlaylistParser::playlistRequestFinished);
    connect(m_reply, &QNetworkReply::readyRead, this, &KLPlaylistParser::playlistRequestReadyRead);
}

void KLPlaylistParser::abort()
{
    m_data.clear();
    m_isContentTypeSeen = false;
    m_type = UnknowPlaylist;
    if (m_reply) {
        QNetworkReply *reply = m_reply;
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    delete m_icyProbe;
    m_isCutOff = false;
    m_isTooLarge = false;
    m_isIcyAnswer = false;
    m_icyBitrate.clear();
    m_url.clear();
    updateIsProcessing(false);
}

bool KLPlaylistParser::isHlsType(PlaylistType type)
{
    return type == HlsMasterPlaylist || type == HlsPlaylist;
}

bool KLPlaylistParser::isMasterType(PlaylistType type)
{
    return type == HlsMasterPlaylist || type == BassMasterPlaylist;
}

bool KLPlaylistParser::updateIsProcessing(bool isProcessing)
{
    if (m_isProcessing == isProcessing)
        return false;
    m_isProcessing = isProcessing;
    emit isProcessingChanged(m_isProcessing);
    return true;
}

KLPlaylistParser::PlaylistType KLPlaylistParser::playlistTypeFromData() const
{
    return KLPlaylistFormat::typeFromData(m_data);
}

void KLPlaylistParser::abortReply(QNetworkReply *reply)
{
    // The reply finishes inside abort(); the finished handler must know that the cancellation
    // was ours.
    m_isCutOff = true;
    reply->abort();
}

KLPlaylistStreams KLPlaylistParser::networkEntries(const KLPlaylistStreams &streams) const
{
    // A list from a server names what the server may make the player fetch: other servers,
    // never a local file.
    KLPlaylistStreams kept;
    QStringList skipped;
    for (auto it = streams.cbegin(); it != streams.cend(); ++it) {
        if (isNetworkAddress(it.value()) && !it.value().host().isEmpty())
            kept.insert(it.key(), it.value());
        else
            skipped.append(KLCredentials::redacted(it.value()));
    }
    if (!skipped.isEmpty()) {
        qCWarning(klLog) << player()->playerName() << "Playlist parser skipped" << skipped.size()
                         << "entries that are not http or https addresses, first"
                         << skipped.first();
    }
    return kept;
}

void KLPlaylistParser::playlistRequestReadyRead()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != m_reply)
        return;

    // An error page is no stream and no playlist: read nothing of it and let the reply finish
    // with its error.
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 400) {
        disconnect(reply, &QNetworkReply::readyRead, this,
                   &KLPlaylistParser::playlistRequestReadyRead);
        return;
    }

    if (!m_isContentTypeSeen) {
        m_isContentTypeSeen = true;
        const QString contentType = reply->header(QNetworkRequest::ContentTypeHeader).toString();
        if (!contentType.isEmpty() &&
            !contentType.startsWith(QLatin1String("application"), Qt::CaseInsensitive) &&
            !contentType.startsWith(QLatin1String("audio/mpegurl"), Qt::CaseInsensitive)) {
            // A stream: nothing of its body is needed.
            m_type = BassPlaylist;
            disconnect(reply, &QNetworkReply::readyRead, this,
                       &KLPlaylistParser::playlistRequestReadyRead);
            abortReply(reply);
            return;
        }
    }

    if (reply->bytesAvailable() > 0)
        m_data += reply->readAll();

    if (!isMasterType(m_type) && m_data.size() >= classificationSize) {
        m_type = playlistTypeFromData();
        if (!isMasterType(m_type)) {
            disconnect(reply, &QNetworkReply::readyRead, this,
                       &KLPlaylistParser::playlistRequestReadyRead);
            abortReply(reply);
            return;
        }
    }
    // A master list is read to its end, but never beyond its bound.
    if (isMasterType(m_type) && m_data.size() > maxPlaylistSize) {
        disconnect(reply, &QNetworkReply::readyRead, this,
                   &KLPlaylistParser::playlistRequestReadyRead);
        m_isTooLarge = true;
        abortReply(reply);
    }
}

bool KLPlaylistParser::isAnswerWithoutHttp(const QNetworkReply *reply) const
{
    // Qt's HTTP stack takes a first line that is no HTTP status line for a broken connection.
    // A refused connection, a time-out or an HTTP status of any kind is no such answer.
    const QNetworkReply::NetworkError error = reply->error();
    const QString scheme = reply->url().scheme();
    return (error == QNetworkReply::RemoteHostClosedError ||
            error == QNetworkReply::ProtocolFailure) &&
           !reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() &&
           m_data.isEmpty() && !m_isCutOff && !m_isTooLarge &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

void KLPlaylistParser::playlistRequestFinished()
{
    if (!player())
        return;
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != m_reply)
        return;
    if (isAnswerWithoutHttp(reply)) {
        // The reply stays current until the probe has read what the server sent.
        const KLNetworkAccessManager *nam = player()->nam();
        m_icyProbe = new KLIcyProbe(
            reply->request(), reply->url(),
            nam ? nam->timeoutMs() : KLNetworkAccessManager::KL_NETWORK_DEFAULT_TIMEOUT, this);
        connect(m_icyProbe, &KLIcyProbe::finished, this, &KLPlaylistParser::icyProbeFinished);
        return;
    }
    finishReply(reply);
}

void KLPlaylistParser::icyProbeFinished()
{
    KLIcyProbe *probe = m_icyProbe;
    if (!player() || !probe || sender() != probe || !m_reply)
        return;
    m_icyProbe = nullptr;
    probe->deleteLater();
    m_isIcyAnswer = KLPlaylistFormat::isIcyStreamHead(probe->head(), &m_icyBitrate);
    if (m_isIcyAnswer) {
        qCDebug(klLog) << player()->playerName() << "Playlist parser: ICY stream at"
                       << KLCredentials::redacted(m_reply->url());
    }
    finishReply(m_reply);
}

void KLPlaylistParser::finishReply(QNetworkReply *reply)
{
    reply->deleteLater();

    if (reply->isReadable() && reply->bytesAvailable() > 0)
        m_data += reply->readAll();

    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::NoError && m_type == UnknowPlaylist && !m_data.isEmpty())
        m_type = playlistTypeFromData();

    if (m_isTooLarge || KLNetworkAccessManager::isBodyLimitExceeded(reply) ||
        (isMasterType(m_type) && m_data.size() > maxPlaylistSize)) {
        qCWarning(klLog) << player()->playerName() << "Playlist parser error"
                         << KLCredentials::redacted(reply->url()) << "Playlist is larger than"
                         << maxPlaylistSize << "bytes";
        m_type = UnknowPlaylist;
    } else if (m_isIcyAnswer) {
        m_type = BassPlaylist;
    } else if (error != QNetworkReply::NoError &&
               (error != QNetworkReply::OperationCanceledError || !m_isCutOff)) {
        // A cancellation that the parser did not cause (the manager's time limit) is a failure
        // like any other: a list cut short would be taken as complete.
        qCWarning(klLog) << player()->playerName() << "Playlist parser error"
                         << KLCredentials::redacted(reply->url())
                         << KLCredentials::redacted(reply->errorString()) << "Code:" << error;
        m_type = UnknowPlaylist;
    }

    const bool isHls = isHlsType(m_type);
    KLPlaylistStreams streams;
    switch (m_type) {
    case UnknowPlaylist:
        break;
    case HlsMasterPlaylist:
        streams = KLPlaylistFormat::hlsMasterStreams(m_data, reply->url());
        break;
    case HlsPlaylist:
        streams = KLPlaylistFormat::hlsMediaStreams(m_data, m_url);
        break;
    case BassMasterPlaylist:
        streams = KLPlaylistFormat::jsonStreams(m_data);
        break;
    case BassPlaylist:
        streams = KLPlaylistFormat::plainStreams(
            m_isIcyAnswer ? m_icyBitrate : reply->rawHeader("icy-br"), m_url);
        break;
    }
    if (isMasterType(m_type) && isNetworkAddress(reply->url()))
        streams = networkEntries(streams);

    m_data.clear();
    m_type = UnknowPlaylist;
    m_isContentTypeSeen = false;
    m_isCutOff = false;
    m_isTooLarge = false;
    m_isIcyAnswer = false;
    m_icyBitrate.clear();
    m_reply = nullptr;
    m_url.clear();
    updateIsProcessing(false);
    emit parsingFinished(streams, isHls);
}
