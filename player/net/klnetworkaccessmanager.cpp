#include "klnetworkaccessmanager.h"

#include "klboundednetworkreply.h"
#include "klcredentials.h"

#include "bass.h"

#include <QEventLoop>
#include <QLocale>
#include <QPointer>
#include <QSysInfo>
#include <QTimer>
#include <QUrlQuery>

namespace {

// Replaces every item key of the query with one item at its end.
void replaceQueryItem(QUrlQuery &query, const QString &key, const QString &value)
{
    query.removeAllQueryItems(key);
    query.addQueryItem(key, value);
}

} // namespace

KLNetworkAccessManager::KLNetworkAccessManager(QObject *parent)
    : QNetworkAccessManager(parent)
    , m_userAgent(buildUserAgent())
{}

KLNetworkAccessManager::~KLNetworkAccessManager()
{
    qDeleteAll(findChildren<QNetworkReply *>(Qt::FindDirectChildrenOnly));
}

QString KLNetworkAccessManager::buildUserAgent()
{
    const QLocale locale = QLocale::system();
    const QStringList languages = locale.uiLanguages();
    const QString language = languages.isEmpty() ? locale.bcp47Name() : languages.first();
    return QStringLiteral("KelvanePlayer/%1 (%2; %3; %4; %5) Qt/%6 BASS/%7")
        .arg(QStringLiteral("8.0.22"), QSysInfo::prettyProductName(),
             QSysInfo::kernelType() + QLatin1Char(' ') + QSysInfo::kernelVersion(),
             QSysInfo::currentCpuArchitecture(), language, QString::fromLatin1(qVersion()),
             QString::number(BASS_GetVersion(), 16));
}

bool KLNetworkAccessManager::setAwait(bool await)
{
    if (m_await == await)
        return false;
    m_await = await;
    emit awaitChanged(m_await);
    return true;
}

bool KLNetworkAccessManager::setTimeoutMs(int timeoutMs)
{
    if (m_timeoutMs == timeoutMs)
        return false;
    m_timeoutMs = timeoutMs;
    emit timeoutMsChanged(m_timeoutMs);
    return true;
}

bool KLNetworkAccessManager::setReferer(const QString &referer)
{
    if (m_referer == referer)
        return false;
    m_referer = referer;
    emit refererChanged(m_referer);
    return true;
}

bool KLNetworkAccessManager::setQuorviaUserId(const QString &quorviaUserId)
{
    if (m_quorviaUserId == quorviaUserId)
        return false;
    m_quorviaUserId = quorviaUserId;
    emit quorviaUserIdChanged(m_quorviaUserId);
    return true;
}

bool KLNetworkAccessManager::setQuorviaUtmMark(const QString &quorviaUtmMark)
{
    if (m_quorviaUtmMark == quorviaUtmMark)
        return false;
    m_quorviaUtmMark = quorviaUtmMark;
    emit quorviaUtmMarkChanged(m_quorviaUtmMark);
    return true;
}

bool KLNetworkAccessManager::setMaxBodySize(qint64 maxBodySize)
{
    if (m_maxBodySize == maxBodySize)
        return false;
    m_maxBodySize = maxBodySize;
    emit maxBodySizeChanged(m_maxBodySize);
    return true;
}

QNetworkReply *KLNetworkAccessManager::createRequest(Operation op,
                                                     const QNetworkRequest &originalRequest,
                                                     QIODevice *outgoingData)
{
    QNetworkRequest request(originalRequest);
    QUrl url = request.url();

    if (!m_quorviaUserId.isEmpty() || !m_quorviaUtmMark.isEmpty()) {
        QUrlQuery query(url);
        if (!m_quorviaUserId.isEmpty())
            replaceQueryItem(query, QStringLiteral("hssuid"), m_quorviaUserId);
        if (!m_quorviaUtmMark.isEmpty())
            replaceQueryItem(query, QStringLiteral("radioquorvia"), m_quorviaUtmMark);
        url.setQuery(query);
        request.setUrl(url);
    }

    if (!url.userInfo().isEmpty()) {
        QString userInfo = url.userName(QUrl::FullyDecoded);
        if (!url.password().isNull())
            userInfo += QLatin1Char(':') + url.password(QUrl::FullyDecoded);
        request.setRawHeader("Authorization", "Basic " + userInfo.toUtf8().toBase64());
    }

    if (!m_userAgent.isEmpty())
        request.setRawHeader("User-Agent", m_userAgent.toUtf8());

    const QString referer = m_referer.isEmpty() ? m_quorviaUtmMark : m_referer;
    if (!referer.isEmpty())
        request.setRawHeader("Referer", referer.toUtf8());

    const QVariant bodyBound = request.attribute(MaxBodySizeAttribute);
    const qint64 maxBodySize = bodyBound.isValid() ? bodyBound.toLongLong() : m_maxBodySize;

    // The network stack would send every header of the request, Authorization included, to
    // wherever a redirect leads. A request with credentials therefore follows its redirects
    // hop by hop in the bounded reply, and the credentials go only to their own origin.
    const QVariant policyAttribute = request.attribute(QNetworkRequest::RedirectPolicyAttribute);
    const auto policy = policyAttribute.isValid()
                            ? QNetworkRequest::RedirectPolicy(policyAttribute.toInt())
                            : redirectPolicy();
    const bool followsHere =
        request.hasRawHeader("Authorization") && policy != QNetworkRequest::ManualRedirectPolicy;
    if (followsHere)
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);

    QNetworkReply *inner = QNetworkAccessManager::createRequest(op, request, outgoingData);
    auto *reply = new KLBoundedNetworkReply(inner, maxBodySize, this);
    if (followsHere) {
        const QUrl origin = url;
        reply->followRedirects(policy, request.maximumRedirectsAllowed(),
                               [this, origin](Operation hopOperation, QNetworkRequest hop) {
                                   // Once left behind, the credentials do not come back.
                                   if (!KLCredentials::isSameOrigin(hop.url(), origin))
                                       hop.setRawHeader("Authorization", QByteArray());
                                   return QNetworkAccessManager::createRequest(hopOperation, hop);
                               });
    }
    if (m_await)
        awaitReply(reply);
    else
        limitTime(reply);
    return reply;
}

void KLNetworkAccessManager::limitTime(QNetworkReply *reply)
{
    // A time-out of 0 or less means no time limit.
    if (m_timeoutMs <= 0)
        return;
    // The limit counts from the creation of the request: a download that keeps receiving data
    // longer than the limit is aborted all the same.
    auto *timer = new QTimer(reply);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, timer, [timer]() {
        auto *running = qobject_cast<QNetworkReply *>(timer->parent());
        if (running && running->isRunning())
            running->abort();
    });
    timer->start(m_timeoutMs);
}

void KLNetworkAccessManager::awaitReply(QNetworkReply *reply)
{
    QPointer<QNetworkReply> guard(reply);
    if (reply->isFinished())
        return;
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (m_timeoutMs > 0)
        timer.start(m_timeoutMs);
    loop.exec();
    if (guard && !guard->isFinished())
        guard->abort();
}

QNetworkReply *KLNetworkAccessManager::senderReply(QObject *sender)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender);
    if (reply)
        reply->deleteLater();
    return reply;
}

QNetworkReply *KLNetworkAccessManager::senderReply(QObject *sender, const QString &name,
                                                   const QLoggingCategory &category)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender);
    if (!reply) {
        qCWarning(category) << "Can not cast" << name << "from sender";
        return nullptr;
    }
    reply->deleteLater();
    if (reply->error() == QNetworkReply::NoError)
        return reply;
    qCWarning(category) << "Error" << name << ":" << KLCredentials::redacted(reply->url())
                        << KLCredentials::redacted(reply->errorString())
                        << "Code:" << reply->error();
    return nullptr;
}

bool KLNetworkAccessManager::isBodyLimitExceeded(const QNetworkReply *reply)
{
    const auto *bounded = qobject_cast<const KLBoundedNetworkReply *>(reply);
    return bounded && bounded->isBodyLimitExceeded();
}

bool KLNetworkAccessManager::isSameUrl(const QUrl &a, const QUrl &b)
{
    const auto options = QUrl::RemoveQuery | QUrl::RemoveFragment;
    return a.adjusted(options).toString() == b.adjusted(options).toString();
}
