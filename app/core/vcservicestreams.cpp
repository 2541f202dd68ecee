#include "vcservicestreams.h"

#include "klcredentials.h"

#include <QDebug>
#include <QJsonObject>

#include <algorithm>

bool VCServiceStreams::isSameStream(const QUrl &a, const QUrl &b)
{
    return a.adjusted(QUrl::RemoveUserInfo) == b.adjusted(QUrl::RemoveUserInfo);
}

QList<QUrl> VCServiceStreams::addresses(const QJsonArray &streams, int userId, const QString &sid,
                                        int maxCount)
{
    QList<QUrl> wanted;
    int beyondBound = 0;
    for (const QJsonValue &stream : streams) {
        QUrl url(stream.toObject().value(QStringLiteral("streamUrl")).toString(),
                 QUrl::TolerantMode);
        // The service names network streams; anything else (a local file) is not played.
        const QString scheme = url.scheme().toLower();
        if ((scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
            url.host().isEmpty()) {
            qWarning() << "Stream url" << KLCredentials::redacted(url)
                       << "from the server is not an http or https address, skipped";
            continue;
        }
        url.setUserName(QString::number(userId), QUrl::DecodedMode);
        url.setPassword(sid, QUrl::DecodedMode);
        const bool duplicate = std::any_of(wanted.cbegin(), wanted.cend(),
                                           [&](const QUrl &w) { return isSameStream(w, url); });
        if (duplicate) {
            qDebug() << "Duplicate streamUrl from client user" << KLCredentials::redacted(url)
                     << "was skipped";
            continue;
        }
        if (wanted.size() == maxCount) {
            ++beyondBound;
            continue;
        }
        wanted.append(url);
    }
    if (beyondBound > 0) {
        qWarning() << "The server listed" << beyondBound << "streams beyond" << maxCount
                   << "sources, skipped";
    }
    return wanted;
}
