#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrlQuery>

#include <utility>

// One HTTP request as the demo service received it.
struct VCDevHttpRequest
{
    QByteArray method;
    QByteArray target;  // as sent, e.g. "/api/player/state"
    QByteArray version; // "HTTP/1.1" or "HTTP/1.0"
    QString path;       // decoded path of the target
    QUrlQuery query;
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // Value of the first header with this name (case-insensitive), or a null array.
    QByteArray header(QByteArrayView name) const
    {
        for (const auto &[key, value] : headers) {
            if (QByteArrayView(key).compare(name, Qt::CaseInsensitive) == 0)
                return value;
        }
        return {};
    }

    // Whether the connection stays open after the answer.
    bool keepAlive() const
    {
        const QByteArray connection = header("Connection").toLower();
        if (version == "HTTP/1.0")
            return connection.contains("keep-alive");
        return !connection.contains("close");
    }
};
