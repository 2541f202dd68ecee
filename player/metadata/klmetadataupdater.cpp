#include "klmetadataupdater.h"

#include "kllogging.h"
#include "klnetworkaccessmanager.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

// The object of a JSON text, or nothing when the text is not one.
std::optional<QJsonObject> parseObject(const QByteArray &body)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

} // namespace

KLMetadataUpdater::KLMetadataUpdater(QNetworkAccessManager *nam, QObject *parent)
    : QObject(parent)
    , m_nam(nam)
{
    m_updateTimer.setInterval(m_metaIntervalMs);
    connect(&m_updateTimer, &QTimer::timeout, this, &KLMetadataUpdater::update);
    connect(this, &KLMetadataUpdater::metaUrlChanged, this, &KLMetadataUpdater::metaUrlChange);
    connect(this, &KLMetadataUpdater::metaIdUrlChanged, this, &KLMetadataUpdater::startUpdateTimer);
}

KLMetadataUpdater::~KLMetadataUpdater()
{
    for (QNetworkReply *reply : {m_metaRequest.reply.data(), m_metaIdRequest.reply.data()}) {
        if (reply) {
            reply->disconnect(this);
            reply->abort();
            reply->deleteLater();
        }
    }
}

void KLMetadataUpdater::setIntervals(int metaMs, int shortMs)
{
    m_metaIntervalMs = metaMs;
    m_shortIntervalMs = shortMs;
}

bool KLMetadataUpdater::setMetaUrl(const QUrl &metaUrl)
{
    if (m_metaUrl == metaUrl)
        return false;
    m_metaUrl = metaUrl;
    emit metaUrlChanged(m_metaUrl);
    return true;
}

bool KLMetadataUpdater::setMetaIdUrl(const QUrl &metaIdUrl)
{
    if (m_metaIdUrl == metaIdUrl)
        return false;
    m_metaIdUrl = metaIdUrl;
    emit metaIdUrlChanged(m_metaIdUrl);
    return true;
}

void KLMetadataUpdater::metaUrlChange()
{
    resetMeta();
    if (m_metaUrl.isEmpty()) {
        m_updateTimer.stop();
        return;
    }
    updateMeta();
    startUpdateTimer();
}

void KLMetadataUpdater::startUpdateTimer()
{
    if (m_metaUrl.isEmpty()) {
        m_updateTimer.stop();
        resetMeta();
        return;
    }
    updateTimerInterval(false);
    m_updateTimer.start();
}

void KLMetadataUpdater::updateTimerInterval(bool error)
{
    m_updateTimer.setInterval(error || !m_metaIdUrl.isEmpty() ? m_shortIntervalMs
                                                              : m_metaIntervalMs);
}

void KLMetadataUpdater::update()
{
    if (!m_metaIdUrl.isEmpty())
        updateMetaId();
    else if (!m_metaUrl.isEmpty())
        updateMeta();
}

void KLMetadataUpdater::updateMeta()
{
    startRequest(m_metaUrl, m_metaRequest, false);
}

void KLMetadataUpdater::updateMetaId()
{
    startRequest(m_metaIdUrl, m_metaIdRequest, true);
}

void KLMetadataUpdater::startRequest(const QUrl &url, Request &running, bool isId)
{
    QPointer<QNetworkReply> &reply = running.reply;
    const char *kind = isId ? "meta ID" : "meta";
    if (!m_nam) {
        qCWarning(klLog).noquote() << "Metadata updater: nam is null inside update" << kind;
        return;
    }
    if (url.isEmpty())
        return;
    if (reply) {
        // Another query may name another station: only the very same address is still loading.
        if (running.url == url) {
            qCDebug(klLog).noquote() << "Metadata updater: skip" << kind
                                     << "update request, cause previous still running";
            return;
        }
        qCWarning(klLog).noquote() << "Metadata updater: abort prev" << kind << "request";
        QNetworkReply *previous = reply;
        reply.clear();
        previous->disconnect(this);
        previous->abort();
        previous->deleteLater();
    }

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(KLNetworkAccessManager::MaxBodySizeAttribute, maxBodySize);
    reply = m_nam->get(request);
    running.url = url;
    boundBody(reply);
    connect(reply, &QNetworkReply::finished, this,
            isId ? &KLMetadataUpdater::updateMetaIdRequestFinished
                 : &KLMetadataUpdater::updateMetaRequestFinished);
}

void KLMetadataUpdater::boundBody(QNetworkReply *reply)
{
    // A manager other than the library's does not bound the body. Held back in the reply's
    // buffer, the body cannot grow past the bound unnoticed; once it passes, the reply is
    // aborted.
    reply->setReadBufferSize(maxBodySize + 1);
    const auto check = [reply]() {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        const bool over = reply->bytesAvailable() > maxBodySize ||
                          (length.isValid() && length.toLongLong() > maxBodySize);
        if (!over || !reply->isRunning() || reply->property("klOverBound").toBool())
            return;
        reply->setProperty("klOverBound", true);
        reply->abort();
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, check);
    connect(reply, &QNetworkReply::readyRead, this, check);
}

QNetworkReply *KLMetadataUpdater::finishedReply(Request &running, const QUrl &url, bool isId)
{
    QPointer<QNetworkReply> &current = running.reply;
    if (!current || sender() != current.data())
        return nullptr;
    current.clear();
    if (sender()->property("klOverBound").toBool())
        qCWarning(klLog).noquote() << "Metadata updater: body above" << maxBodySize << "bytes";
    QNetworkReply *reply =
        KLNetworkAccessManager::senderReply(sender(),
                                            isId ? QStringLiteral("Metadata updater ID request")
                                                 : QStringLiteral("Metadata updater request"),
                                            klLog());
    if (reply && reply->bytesAvailable() > maxBodySize)
        reply = nullptr;
    if (!reply || running.url != url) {
        resetMeta();
        updateTimerInterval(true);
        return nullptr;
    }
    updateTimerInterval(false);
    return reply;
}

void KLMetadataUpdater::updateMetaRequestFinished()
{
    QNetworkReply *reply = finishedReply(m_metaRequest, m_metaUrl, false);
    if (!reply)
        return;
    const QByteArray body = reply->readAll();
    if (!metaJsonParse(body, false)) {
        resetMeta();
        updateTimerInterval(true);
        qCWarning(klLog).noquote() << "Metadata updater: Error meta parsing:" << logExcerpt(body)
                                   << QStringLiteral("(%1 bytes)").arg(body.size());
    }
}

void KLMetadataUpdater::updateMetaIdRequestFinished()
{
    QNetworkReply *reply = finishedReply(m_metaIdRequest, m_metaIdUrl, true);
    if (!reply)
        return;
    const QByteArray body = reply->readAll();
    if (!metaIdJsonParse(body)) {
        resetMeta();
        updateTimerInterval(true);
        qCWarning(klLog).noquote() << "Metadata updater: Error meta ID parsing:" << logExcerpt(body)
                                   << QStringLiteral("(%1 bytes)").arg(body.size());
    }
}

bool KLMetadataUpdater::metaIdJsonParse(const QByteArray &body)
{
    const std::optional<QJsonObject> object = parseObject(body);
    if (!object)
        return false;
    // The last identifier is replaced only when the description itself arrives.
    if (object->value(QLatin1String("uniqueid")).toString() != m_lastId)
        updateMeta();
    return true;
}

QUrl KLMetadataUpdater::absoluteCover(const QUrl &cover) const
{
    // The cover takes the place of the meta address's file name, which ends its path. It keeps
    // the address's user information: a cover behind the same authentication loads with it.
    QUrl url = m_metaUrl;
    QString path = url.path(QUrl::FullyDecoded);
    path.chop(url.fileName(QUrl::FullyDecoded).size());
    url.setPath(path + cover.toString(), QUrl::DecodedMode);
    return url;
}

bool KLMetadataUpdater::metaJsonParse(const QByteArray &body, bool silent)
{
    std::optional<QJsonObject> object = parseObject(body);
    if (!object)
        return false;

    m_lastId = object->value(QLatin1String("uniqueid")).toString();
    const QString artist = object->value(QLatin1String("artist")).toString();
    const QString title = object->value(QLatin1String("title")).toString();
    QUrl cover(object->value(QLatin1String("cover")).toString(), QUrl::TolerantMode);
    const int ddbId = object->value(QLatin1String("ddbId")).toInt(0);
    const int type = object->value(QLatin1String("type")).toInt(-1);

    if (!cover.isEmpty() && cover.isRelative()) {
        cover = absoluteCover(cover);
        object->insert(QLatin1String("cover"), cover.toString());
    }

    if (silent) {
        m_json = *object;
        m_title = artist;
        m_subtitle = title;
        m_coverUrl = cover;
        m_ddbId = ddbId;
        m_type = type;
        return true;
    }
    updateJson(*object);
    updateTitle(artist);
    updateSubtitle(title);
    updateCoverUrl(cover);
    updateDdbId(ddbId);
    updateType(type);
    return true;
}

void KLMetadataUpdater::updateMetaJson(const QString &metaJson, bool isSilence)
{
    metaJsonParse(metaJson.toUtf8(), isSilence);
}

void KLMetadataUpdater::resetMeta()
{
    // Whatever was shown is gone, so the next identifier must fetch the description again.
    m_lastId.clear();
    updateJson({});
    updateTitle({});
    updateSubtitle({});
    updateCoverUrl({});
    updateDdbId(0);
    updateType(-1);
}

QString KLMetadataUpdater::metaJson() const
{
    const QJsonObject object{
        {QLatin1String("uniqueid"), m_lastId}, {QLatin1String("artist"), m_title},
        {QLatin1String("title"), m_subtitle},  {QLatin1String("cover"), m_coverUrl.toString()},
        {QLatin1String("ddbId"), m_ddbId},     {QLatin1String("type"), m_type},
    };
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

QString KLMetadataUpdater::logExcerpt(const QByteArray &body)
{
    const QString text = QString::fromUtf8(body.left(logExcerptSize * 4)).left(logExcerptSize);
    QString excerpt;
    excerpt.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u < 0xa0) || u == u'\\')
            excerpt += u == u'\\' ? QStringLiteral("\\\\")
                                  : QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            excerpt += c;
    }
    return excerpt;
}

bool KLMetadataUpdater::updateJson(const QJsonObject &json)
{
    if (m_json == json)
        return false;
    m_json = json;
    emit jsonChanged(m_json);
    return true;
}

bool KLMetadataUpdater::updateTitle(const QString &title)
{
    if (m_title == title)
        return false;
    m_title = title;
    emit titleChanged(m_title);
    return true;
}

bool KLMetadataUpdater::updateSubtitle(const QString &subtitle)
{
    if (m_subtitle == subtitle)
        return false;
    m_subtitle = subtitle;
    emit subtitleChanged(m_subtitle);
    return true;
}

bool KLMetadataUpdater::updateCoverUrl(const QUrl &coverUrl)
{
    if (m_coverUrl == coverUrl)
        return false;
    m_coverUrl = coverUrl;
    emit coverUrlChanged(m_coverUrl);
    return true;
}

bool KLMetadataUpdater::updateDdbId(int ddbId)
{
    if (m_ddbId == ddbId)
        return false;
    m_ddbId = ddbId;
    emit ddbIdChanged(m_ddbId);
    return true;
}

bool KLMetadataUpdater::updateType(int type)
{
    if (m_type == type)
        return false;
    m_type = type;
    emit typeChanged(m_type);
    return true;
}
