#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrlQuery>

#include <utility>

using LoopbackHttpHeaders = QList<std::pair<QByteArray, QByteArray>>;

// One request as the loopback server received it.
struct LoopbackHttpRequest
{
    QByteArray method;
    QByteArray target;  // the request target exactly as sent, e.g. "/a/b?x=1"
    QByteArray version; // e.g. "HTTP/1.1"
    QString path;       // decoded path of the target
    QUrlQuery query;    // query of the target
    LoopbackHttpHeaders headers;
    QByteArray body;
    int connection = 0; // serial number of the connection that carried it, counted from 1

    // Value of the first header with this name (compared case-insensitively), or null.
    QByteArray header(QByteArrayView name) const
    {
        for (const auto &[key, value] : headers) {
            if (QByteArrayView(key).compare(name, Qt::CaseInsensitive) == 0)
                return value;
        }
        return {};
    }

    bool hasHeader(QByteArrayView name) const
    {
        for (const auto &[key, value] : headers) {
            if (QByteArrayView(key).compare(name, Qt::CaseInsensitive) == 0)
                return true;
        }
        return false;
    }

    int headerCount(QByteArrayView name) const
    {
        int count = 0;
        for (const auto &[key, value] : headers) {
            if (QByteArrayView(key).compare(name, Qt::CaseInsensitive) == 0)
                ++count;
        }
        return count;
    }
};
