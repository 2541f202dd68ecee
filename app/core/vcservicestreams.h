#pragma once

#include <QJsonArray>
#include <QList>
#include <QString>
#include <QUrl>

// The stream addresses that the service lists for a session: which of them are played, with
// which credentials, and when two addresses name one stream.
class VCServiceStreams
{
public:
    // Two addresses of one stream: equal but for their credentials.
    static bool isSameStream(const QUrl &a, const QUrl &b);
    // The addresses of `streams` (the service's list of objects with a "streamUrl") with the
    // session's credentials (userId and sid): network streams only (http and https with a host),
    // one per stream, at most maxCount. What is left out is logged without credentials.
    static QList<QUrl> addresses(const QJsonArray &streams, int userId, const QString &sid,
                                 int maxCount);
};
