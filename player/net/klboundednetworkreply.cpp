#include "klboundednetworkreply.h"

#include "klcredentials.h"

#include <algorithm>

#include <QSslConfiguration>

KLBoundedNetworkReply::KLBoundedNetworkReply(QNetworkReply *inner, qint64 maxBodySize,
                                             QObject *parent)
    : QNetworkReply(parent)
    , m_maxBodySize(maxBodySize)
{
    setRequest(inner->request());
    setOperation(inner->operation());
    setUrl(inner->url());
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    // With the user-verified redirect policy the caller allows the redirect on this reply.
    connect(this, &QNetworkReply::redirectAllowed, this, [this]() {
        if (m_pendingRedirect.isValid())
            startHop();
        else if (m_inner && !m_nextHop)
            emit m_inner->redirectAllowed();
    });
    attach(inner);
}

void KLBoundedNetworkReply::attach(QNetworkReply *inner)
{
    m_inner = inner;
    inner->setParent(this);
    connect(inner, &QNetworkReply::metaDataChanged, this, [this]() {
        if (isRepeatedRedirectHead()) {
            m_staleHead = m_inner->rawHeaderPairs();
            return;
        }
        copyMetaData();
        if (isFollowedRedirect()) {
            emit metaDataChanged();
            if (!isFinished() && !m_aborting)
                followRedirect();
            return;
        }
        const QVariant length = header(QNetworkRequest::ContentLengthHeader);
        if (m_maxBodySize > 0 && length.isValid() && length.toLongLong() > m_maxBodySize &&
            !isErrorAnswer()) {
            exceed();
            return;
        }
        emit metaDataChanged();
    });
    connect(inner, &QNetworkReply::readyRead, this, [this]() { takeData(); });
    connect(inner, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        if (!m_exceeded)
            emit downloadProgress(received, total);
    });
    connect(inner, &QNetworkReply::uploadProgress, this, &QNetworkReply::uploadProgress);
    connect(inner, &QNetworkReply::redirected, this, [this](const QUrl &url) {
        m_redirectHead = rawHeaderPairs();
        m_redirectStatus = attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        m_staleHead.clear();
        emit redirected(url);
    });
    connect(inner, &QNetworkReply::encrypted, this, &QNetworkReply::encrypted);
    connect(inner, &QNetworkReply::sslErrors, this, &QNetworkReply::sslErrors);
    connect(inner, &QNetworkReply::preSharedKeyAuthenticationRequired, this,
            &QNetworkReply::preSharedKeyAuthenticationRequired);
    connect(inner, &QNetworkReply::errorOccurred, this, [this](QNetworkReply::NetworkError code) {
        if (m_exceeded)
            return;
        setError(code, KLCredentials::redacted(m_inner->errorString()));
        emit errorOccurred(code);
    });
    connect(inner, &QNetworkReply::finished, this, &KLBoundedNetworkReply::finishFromInner);
    if (inner->isFinished())
        QMetaObject::invokeMethod(this, &KLBoundedNetworkReply::finishFromInner,
                                  Qt::QueuedConnection);
}

void KLBoundedNetworkReply::followRedirects(QNetworkRequest::RedirectPolicy policy,
                                            int maxRedirects, HopFunction nextHop)
{
    m_redirectPolicy = policy;
    m_redirectsLeft = maxRedirects;
    m_nextHop = std::move(nextHop);
}

bool KLBoundedNetworkReply::isFollowedRedirect() const
{
    if (!m_nextHop || !m_inner || !m_inner->hasRawHeader("Location"))
        return false;
    switch (m_inner->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()) {
    case 301:
    case 302:
    case 303:
    case 305:
    case 307:
    case 308:
        return true;
    default:
        return false;
    }
}

void KLBoundedNetworkReply::followRedirect()
{
    const QUrl current = m_inner->url();
    const QUrl target = current.resolved(QUrl::fromEncoded(m_inner->rawHeader("Location")));
    const int status = m_inner->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString scheme = target.scheme().toLower();

    if (m_redirectsLeft <= 0) {
        failRedirect(QNetworkReply::TooManyRedirectsError, QStringLiteral("Too many redirects"));
        return;
    }
    if (!target.isValid() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        failRedirect(QNetworkReply::ProtocolUnknownError,
                     QStringLiteral("Redirect to an unsupported scheme"));
        return;
    }
    const bool lessSafe =
        current.scheme().toLower() == QLatin1String("https") && scheme == QLatin1String("http");
    if ((m_redirectPolicy == QNetworkRequest::NoLessSafeRedirectPolicy && lessSafe) ||
        (m_redirectPolicy == QNetworkRequest::SameOriginRedirectPolicy &&
         !KLCredentials::isSameOrigin(current, target))) {
        failRedirect(QNetworkReply::InsecureRedirectError, QStringLiteral("Insecure redirect"));
        return;
    }

    // 303, and 301 or 302 after a POST, continue with GET; other redirects repeat the request,
    // which a request with a body cannot do here: its body has been read.
    QNetworkAccessManager::Operation operation = m_inner->operation();
    if ((status == 303 && operation != QNetworkAccessManager::HeadOperation) ||
        ((status == 301 || status == 302) && operation == QNetworkAccessManager::PostOperation)) {
        operation = QNetworkAccessManager::GetOperation;
    }
    if (operation == QNetworkAccessManager::PostOperation ||
        operation == QNetworkAccessManager::PutOperation ||
        operation == QNetworkAccessManager::CustomOperation) {
        failRedirect(QNetworkReply::ContentReSendError,
                     QStringLiteral("Redirect needs the request body again"));
        return;
    }
    QNetworkRequest request = m_inner->request();
    request.setUrl(target);
    if (operation != m_inner->operation()) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QVariant());
        request.setHeader(QNetworkRequest::ContentLengthHeader, QVariant());
    }
    --m_redirectsLeft;
    dropInner();
    m_hopOperation = operation;
    m_hopRequest = request;
    m_pendingRedirect = target;
    emit redirected(target);
    if (m_redirectPolicy != QNetworkRequest::UserVerifiedRedirectPolicy && !isFinished() &&
        m_pendingRedirect.isValid())
        startHop();
}

void KLBoundedNetworkReply::startHop()
{
    m_pendingRedirect.clear();
    // request() names the hop's request, without the credentials once they are left behind.
    setRequest(m_hopRequest);
    setUrl(m_hopRequest.url());
    QNetworkReply *inner = m_nextHop(m_hopOperation, m_hopRequest);
    if (readBufferSize() > 0)
        inner->setReadBufferSize(readBufferSize());
    attach(inner);
}

void KLBoundedNetworkReply::dropInner()
{
    if (!m_inner)
        return;
    QNetworkReply *inner = m_inner;
    m_inner = nullptr;
    inner->disconnect(this);
    inner->abort();
    inner->deleteLater();
}

void KLBoundedNetworkReply::failRedirect(QNetworkReply::NetworkError code, const QString &text)
{
    dropInner();
    finishWithError(code, text);
}

void KLBoundedNetworkReply::finishWithError(QNetworkReply::NetworkError code, const QString &text)
{
    if (isFinished())
        return;
    m_buffer.clear();
    m_bufferOffset = 0;
    setError(code, text);
    setFinished(true);
    emit errorOccurred(code);
    emit readChannelFinished();
    emit finished();
}

qint64 KLBoundedNetworkReply::bytesAvailable() const
{
    return m_buffer.size() - m_bufferOffset + QNetworkReply::bytesAvailable();
}

qint64 KLBoundedNetworkReply::readData(char *data, qint64 maxSize)
{
    const qint64 available = m_buffer.size() - m_bufferOffset;
    if (available == 0)
        return isFinished() ? -1 : 0;
    const qint64 count = qMin(maxSize, available);
    memcpy(data, m_buffer.constData() + m_bufferOffset, size_t(count));
    m_bufferOffset += count;
    if (m_bufferOffset == m_buffer.size()) {
        m_buffer.clear();
        m_bufferOffset = 0;
    } else if (m_bufferOffset > 64 * 1024 && m_bufferOffset > m_buffer.size() / 2) {
        m_buffer.remove(0, m_bufferOffset);
        m_bufferOffset = 0;
    }
    if (readBufferSize() > 0 && !m_pullScheduled && m_inner && m_inner->bytesAvailable() > 0) {
        m_pullScheduled = true;
        QMetaObject::invokeMethod(
            this,
            [this]() {
                m_pullScheduled = false;
                takeData();
            },
            Qt::QueuedConnection);
    }
    return count;
}

void KLBoundedNetworkReply::takeData(bool all)
{
    if (!m_inner || m_exceeded || !m_inner->isOpen())
        return;
    // With a read buffer size the body waits in the inner reply, which then stops reading from
    // the network, until the reader has made room.
    const qint64 pending = m_buffer.size() - m_bufferOffset;
    const qint64 room =
        (all || readBufferSize() <= 0) ? m_inner->bytesAvailable() : readBufferSize() - pending;
    if (room <= 0)
        return;
    const QByteArray data = m_inner->read(room);
    if (data.isEmpty())
        return;
    // Nobody reads an error page: it is drained and dropped, so an endless one costs no memory
    // and does not count against the body's bound.
    if (isErrorAnswer())
        return;
    m_received += data.size();
    if (m_maxBodySize > 0 && m_received > m_maxBodySize) {
        exceed();
        return;
    }
    m_buffer += data;
    emit readyRead();
}

// Now and then the inner reply delivers the redirect's head a second time, after it has
// dropped that head's headers to follow the redirect. It then joins the next head's values to
// the stale ones (", " between them, a line break for cookies), and keeps stale headers that
// the next head does not have.
bool KLBoundedNetworkReply::isRepeatedRedirectHead() const
{
    if (m_redirectStatus == 0 || !m_staleHead.isEmpty())
        return false;
    return m_inner->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() ==
               m_redirectStatus &&
           m_inner->rawHeaderPairs() == m_redirectHead;
}

KLBoundedNetworkReply::HeaderPairs KLBoundedNetworkReply::currentHead() const
{
    HeaderPairs head = m_inner->rawHeaderPairs();
    if (m_staleHead.isEmpty())
        return head;
    HeaderPairs fresh;
    for (const auto &[name, value] : head) {
        const auto stale = std::find_if(
            m_staleHead.cbegin(), m_staleHead.cend(), [&key = name](const RawHeaderPair &pair) {
                return pair.first.compare(key, Qt::CaseInsensitive) == 0;
            });
        if (stale == m_staleHead.cend()) {
            fresh.append({name, value});
            continue;
        }
        const QByteArray separator =
            name.compare("set-cookie", Qt::CaseInsensitive) == 0 ? "\n" : ", ";
        const QByteArray prefix = stale->second + separator;
        if (value.startsWith(prefix))
            fresh.append({name, value.mid(prefix.size())});
        else if (value != stale->second)
            fresh.append({name, value}); // replaced rather than joined (Location)
    }
    return fresh;
}

void KLBoundedNetworkReply::copyMetaData()
{
    setUrl(m_inner->url());
    const HeaderPairs head = currentHead();
    // A redirect brings a new head: headers of the previous one go. Each header is dropped
    // before it is set again because a reply parses Content-Length only the first time.
    for (const QByteArray &name : rawHeaderList())
        setRawHeader(name, QByteArray());
    for (const auto &[name, value] : head)
        setRawHeader(name, value);
    for (int code = QNetworkRequest::HttpStatusCodeAttribute; code < QNetworkRequest::User;
         ++code) {
        const auto attributeCode = QNetworkRequest::Attribute(code);
        const QVariant value = m_inner->attribute(attributeCode);
        if (value.isValid())
            setAttribute(attributeCode, value);
    }
}

bool KLBoundedNetworkReply::isErrorAnswer() const
{
    return m_inner && m_inner->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 400;
}

bool KLBoundedNetworkReply::isTruncated() const
{
    if (operation() == QNetworkAccessManager::HeadOperation)
        return false;
    const int status = attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 204 || status == 304 || (status >= 100 && status < 200) || status >= 400)
        return false;
    // A decoded body has another length than the one announced.
    const QByteArray encoding = rawHeader("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return false;
    const QVariant length = header(QNetworkRequest::ContentLengthHeader);
    return length.isValid() && m_received < length.toLongLong();
}

void KLBoundedNetworkReply::exceed()
{
    if (isFinished())
        return;
    m_exceeded = true;
    if (m_inner) {
        m_inner->disconnect(this);
        m_inner->abort();
    }
    finishWithError(
        QNetworkReply::UnknownContentError,
        QStringLiteral("Reply body exceeds its size limit of %1 bytes").arg(m_maxBodySize));
}

void KLBoundedNetworkReply::finishFromInner()
{
    if (isFinished() || !m_inner)
        return;
    takeData(true);
    if (m_exceeded)
        return;
    copyMetaData();
    if (m_inner->error() != error())
        setError(m_inner->error(), KLCredentials::redacted(m_inner->errorString()));
    if (error() == QNetworkReply::NoError && isTruncated()) {
        setError(QNetworkReply::RemoteHostClosedError,
                 QStringLiteral("Connection closed after %1 of %2 body bytes")
                     .arg(m_received)
                     .arg(header(QNetworkRequest::ContentLengthHeader).toLongLong()));
        emit errorOccurred(QNetworkReply::RemoteHostClosedError);
    }
    if (m_aborting) {
        m_buffer.clear();
        m_bufferOffset = 0;
        QNetworkReply::close();
    }
    setFinished(true);
    emit readChannelFinished();
    emit finished();
}

void KLBoundedNetworkReply::abort()
{
    if (isFinished())
        return;
    m_aborting = true;
    if (m_inner)
        m_inner->abort();
    else // between two hops of a redirect
        finishWithError(QNetworkReply::OperationCanceledError,
                        QStringLiteral("Operation canceled"));
}

void KLBoundedNetworkReply::close()
{
    if (m_inner)
        m_inner->close();
    m_buffer.clear();
    m_bufferOffset = 0;
    QNetworkReply::close();
}

void KLBoundedNetworkReply::setReadBufferSize(qint64 size)
{
    QNetworkReply::setReadBufferSize(size);
    if (m_inner)
        m_inner->setReadBufferSize(size);
}

void KLBoundedNetworkReply::ignoreSslErrors()
{
    if (m_inner)
        m_inner->ignoreSslErrors();
}

void KLBoundedNetworkReply::ignoreSslErrorsImplementation(const QList<QSslError> &errors)
{
    if (m_inner)
        m_inner->ignoreSslErrors(errors);
}

void KLBoundedNetworkReply::setSslConfigurationImplementation(
    const QSslConfiguration &configuration)
{
    if (m_inner)
        m_inner->setSslConfiguration(configuration);
}

void KLBoundedNetworkReply::sslConfigurationImplementation(QSslConfiguration &configuration) const
{
    if (m_inner)
        configuration = m_inner->sslConfiguration();
}
