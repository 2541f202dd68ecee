#include "vcdevhttpparser.h"

#include <QUrl>

namespace {

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

VCDevHttpParser::VCDevHttpParser(qsizetype maxBodyBytes, qsizetype maxHeadBytes)
    : m_maxBodyBytes(maxBodyBytes)
    , m_maxHeadBytes(maxHeadBytes)
{}

VCDevHttpParser::Result VCDevHttpParser::parse(QByteArray &buffer, VCDevHttpRequest *request,
                                               int *status) const
{
    // Blank lines before a request are allowed and skipped.
    qsizetype start = 0;
    while (buffer.mid(start, 2) == "\r\n")
        start += 2;
    if (start > 0)
        buffer.remove(0, start);

    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        if (buffer.size() > m_maxHeadBytes) {
            *status = 431;
            return Failed;
        }
        return NeedMore;
    }
    if (headEnd + 4 > m_maxHeadBytes) {
        *status = 431;
        return Failed;
    }

    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    VCDevHttpRequest parsed;
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !isToken(requestLine[0]) || requestLine[1].isEmpty() ||
        !requestLine[2].startsWith("HTTP/")) {
        *status = 400;
        return Failed;
    }
    parsed.method = requestLine[0];
    parsed.target = requestLine[1];
    parsed.version = requestLine[2];
    if (parsed.version != "HTTP/1.1" && parsed.version != "HTTP/1.0") {
        *status = 505;
        return Failed;
    }
    if (!parsed.target.startsWith('/')) {
        *status = 400;
        return Failed;
    }
    if (lines.size() - 1 > maxHeaderCount) {
        *status = 431;
        return Failed;
    }

    qint64 contentLength = 0;
    bool haveLength = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(QByteArrayView(line).first(colon))) {
            *status = 400;
            return Failed;
        }
        const QByteArray name = line.left(colon);
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            *status = 501;
            return Failed;
        }
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            bool ok = !value.isEmpty();
            for (char c : value)
                ok = ok && c >= '0' && c <= '9';
            const qint64 length = ok && value.size() <= 18 ? value.toLongLong(&ok) : -1;
            if (!ok || length < 0 || (haveLength && length != contentLength)) {
                *status = 400;
                return Failed;
            }
            contentLength = length;
            haveLength = true;
        }
        parsed.headers.append({name, value});
    }
    if (contentLength > m_maxBodyBytes) {
        *status = 413;
        return Failed;
    }
    const qsizetype total = headEnd + 4 + qsizetype(contentLength);
    if (buffer.size() < total)
        return NeedMore;

    parsed.body = buffer.mid(headEnd + 4, qsizetype(contentLength));
    const QUrl url(QString::fromLatin1(parsed.target), QUrl::StrictMode);
    if (!url.isValid()) {
        *status = 400;
        return Failed;
    }
    parsed.path = url.path(QUrl::FullyDecoded);
    parsed.query = QUrlQuery(url);
    buffer.remove(0, total);
    *request = std::move(parsed);
    return Complete;
}
