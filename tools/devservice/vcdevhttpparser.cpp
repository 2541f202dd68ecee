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

// The request line into *request; 0 or the status that refuses it.
int parseRequestLine(const QByteArray &line, VCDevHttpRequest *request)
{
    const QList<QByteArray> parts = line.trimmed().split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || parts[1].isEmpty() ||
        !parts[2].startsWith("HTTP/"))
        return 400;
    request->method = parts[0];
    request->target = parts[1];
    request->version = parts[2];
    if (request->version != "HTTP/1.1" && request->version != "HTTP/1.0")
        return 505;
    if (!request->target.startsWith('/'))
        return 400;
    return 0;
}

// The header lines (after the request line) into *request and the body's length into
// *contentLength; 0 or the status that refuses them.
int parseHeaders(const QList<QByteArray> &lines, VCDevHttpRequest *request, qint64 *contentLength)
{
    bool haveLength = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(QByteArrayView(line).first(colon)))
            return 400;
        const QByteArray name = line.left(colon);
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0)
            return 501;
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            bool ok = !value.isEmpty();
            for (char c : value)
                ok = ok && c >= '0' && c <= '9';
            const qint64 length = ok && value.size() <= 18 ? value.toLongLong(&ok) : -1;
            if (!ok || length < 0 || (haveLength && length != *contentLength))
                return 400;
            *contentLength = length;
            haveLength = true;
        }
        request->headers.append({name, value});
    }
    return 0;
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
    auto fail = [status](int code) {
        *status = code;
        return Failed;
    };
    if (headEnd < 0)
        return buffer.size() > m_maxHeadBytes ? fail(431) : NeedMore;
    if (headEnd + 4 > m_maxHeadBytes)
        return fail(431);

    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    VCDevHttpRequest parsed;
    if (const int refused = parseRequestLine(lines.first(), &parsed))
        return fail(refused);
    if (lines.size() - 1 > maxHeaderCount)
        return fail(431);
    qint64 contentLength = 0;
    if (const int refused = parseHeaders(lines, &parsed, &contentLength))
        return fail(refused);
    if (contentLength > m_maxBodyBytes)
        return fail(413);
    const qsizetype total = headEnd + 4 + qsizetype(contentLength);
    if (buffer.size() < total)
        return NeedMore;

    parsed.body = buffer.mid(headEnd + 4, qsizetype(contentLength));
    const QUrl url(QString::fromLatin1(parsed.target), QUrl::StrictMode);
    if (!url.isValid())
        return fail(400);
    parsed.path = url.path(QUrl::FullyDecoded);
    parsed.query = QUrlQuery(url);
    buffer.remove(0, total);
    *request = std::move(parsed);
    return Complete;
}
