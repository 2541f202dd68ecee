#include "klcredentials.h"

#include <QRegularExpression>

namespace KLCredentials {

namespace {

int defaultPort(const QString &scheme)
{
    if (scheme == QLatin1String("http"))
        return 80;
    if (scheme == QLatin1String("https"))
        return 443;
    return -1;
}

} // namespace

QString redacted(const QString &text)
{
    // The user info runs from "//" to the last "@" before the first "/", "?" or "#". Printed
    // addresses show blanks in a password as they are, and a password read from a file may
    // hold "@" and ":": the match takes them all, and rather too much than too little.
    static const QRegularExpression userInfoRe(
        QStringLiteral("([A-Za-z][A-Za-z0-9+.-]*://)[^/?#]*@"));
    static const QRegularExpression lineBreakRe(QStringLiteral("[\\r\\n]"));
    QString line = text;
    const qsizetype lineEnd = line.indexOf(lineBreakRe);
    if (lineEnd >= 0)
        line.truncate(lineEnd);
    return line.replace(userInfoRe, QStringLiteral("\\1"));
}

QString redacted(const QUrl &url)
{
    return redacted(url.toString(QUrl::RemoveUserInfo));
}

bool isSameOrigin(const QUrl &a, const QUrl &b)
{
    const QString scheme = a.scheme().toLower();
    return scheme == b.scheme().toLower() && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 &&
           a.port(defaultPort(scheme)) == b.port(defaultPort(scheme));
}

} // namespace KLCredentials
